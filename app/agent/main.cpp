// kestrel-agent: pairs this computer with a Kestrel relay as a device, then serves a local SSH
// agent socket whose requests the relay answers with the agent of the computer it runs on.

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_future.hpp>

#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "app/agent/agent_server.hpp"
#include "app/agent/paired_relays.hpp"
#include "app/agent/relay_connection.hpp"
#include "app/common/arguments.hpp"
#include "platform/host_name.hpp"
#include "platform/paths.hpp"
#include "protocol/pairing.hpp"
#include "protocol/secure_channel.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::agent;
using cli::Arguments;
using cli::UsageError;

constexpr const char* usage = R"usage(usage: kestrel-agent COMMAND [OPTIONS]

Uses a paired Kestrel relay as this computer's SSH agent: the keys stay on the relay's computer.

Commands:
  pair --relay HOST:PORT [--name NAME] [--code CODE]
                        pair with a relay showing a code (`kestrel-relay pair` there)
  serve [--socket PATH] [--relay NAME-or-ID] [-D]
                        serve an agent socket; prints SSH_AUTH_SOCK=...; for eval
                        ("$(kestrel-agent serve)"); -D stays in the foreground
  list [--json]         the paired relays
  forget NAME-or-ID     forget a paired relay

Every command takes --help.
)usage";

template <typename T>
T runCoroutine(asio::io_context& io, asio::awaitable<T> task) {
    auto future = asio::co_spawn(io, std::move(task), asio::use_future);
    io.run();
    io.restart();
    return future.get();
}

std::string readCode(const Arguments& arguments) {
    if (auto code = arguments.value("code")) return *code;
    std::cerr << "Code shown by the relay: " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) throw std::runtime_error("no code given");
    return line;
}

// The grant's ID and key; the relay's name and the moment come from the grant and the clock.
asio::awaitable<std::pair<UUID, SymmetricKey>> pairWith(RelayAddress address, std::string code,
                                                        std::string name, std::string* relayName) {
    const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, name);
    RelayClient client = co_await RelayClient::open(co_await connectTo(address), preamble,
                                                    Pairing::bootstrapPSK(code));
    PairingGrant grant = co_await client.receivePairingGrant();
    *relayName = grant.relayName;
    co_return std::pair{grant.deviceID, grant.pskData};
}

int runPair(const std::vector<std::string>& words) {
    const Arguments arguments(words, {{"relay", true}, {"name", true}, {"code", true}});
    arguments.expectPositional(0, "");
    const auto relayText = arguments.value("relay");
    if (!relayText)
        throw UsageError("--relay HOST:PORT is required (the port `kestrel-relay status` shows)");
    const RelayAddress address = parseRelayAddress(*relayText);
    const std::string name = arguments.value("name").value_or(localizedHostName());
    if (name.empty()) throw UsageError("--name must not be empty");
    const std::string code = readCode(arguments);

    asio::io_context io;
    std::string relayName;
    std::pair<UUID, SymmetricKey> grant;
    try {
        grant = runCoroutine(io, pairWith(address, code, name, &relayName));
    } catch (const std::system_error& error) {
        if (error.code() == SecureChannelError::confirmRejected) {
            throw std::runtime_error(
                "the relay did not accept this code; check it and try again (or open a new "
                "one with `kestrel-relay pair`)");
        }
        if (error.code() == RelayIOError::closed || error.code() == asio::error::connection_reset) {
            throw std::runtime_error(
                "the relay closed the connection: no code is open there (run `kestrel-relay "
                "pair` on the relay), or the code was already used");
        }
        throw std::runtime_error("cannot pair with " + *relayText + ": " + error.code().message());
    }
    PairedRelays relays;
    relays.add({relayName, *relayText, grant.first, std::chrono::system_clock::now()},
               grant.second);
    std::cout << "Paired with relay \u201C" << relayName << "\u201D as device "
              << grant.first.uuidString() << "." << std::endl;
    return 0;
}

std::string defaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string directory = runtime != nullptr && runtime[0] == '/'
                                      ? std::string(runtime) + "/kestrel-agent"
                                      : "/tmp/kestrel-agent-" + std::to_string(::getuid());
    ensurePrivateDirectory(directory);
    return directory + "/agent.sock";
}

// Without -D the agent goes to the background once its socket exists, as ssh-agent does, so
// that eval "$(kestrel-agent serve)" returns at once.
void detach() {
    const pid_t child = ::fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child > 0) std::_Exit(0);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
    }
}

int runServe(const std::vector<std::string>& words) {
    std::vector<std::string> rest;
    bool foreground = false;
    for (const std::string& word : words) {
        if (word == "-D")
            foreground = true;
        else
            rest.push_back(word);
    }
    const Arguments arguments(rest, {{"socket", true}, {"relay", true}});
    arguments.expectPositional(0, "");
    PairedRelays relays;
    const PairedRelay relay = relays.find(arguments.value("relay"));
    SymmetricKey key = relays.key(relay.deviceID);
    const std::string path = arguments.value("socket").value_or(defaultSocketPath());

    asio::io_context io;
    AgentServer server(io.get_executor(), relay, std::move(key), localizedHostName(), std::cerr);
    server.start(path);
    std::cout << "SSH_AUTH_SOCK=" << path << "; export SSH_AUTH_SOCK;\n"
              << "echo Agent served from relay \\\"" << relay.relayName << "\\\";" << std::endl;
    if (!foreground) {
        io.notify_fork(asio::io_context::fork_prepare);
        detach();
        io.notify_fork(asio::io_context::fork_child);
    }
    asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    signals.async_wait([&](std::error_code, int) {
        server.stop();
        io.stop();
    });
    io.run();
    return 0;
}

int runList(const std::vector<std::string>& words) {
    const Arguments arguments(words, {{"json", false}});
    arguments.expectPositional(0, "");
    const auto relays = PairedRelays().list();
    for (const PairedRelay& relay : relays) {
        if (arguments.has("json")) {
            std::cout << nlohmann::json{{"relayName", relay.relayName},
                                        {"address", relay.address},
                                        {"deviceID", relay.deviceID.uuidString()},
                                        {"pairedAt", secondsSinceReferenceDate(relay.pairedAt)}}
                             .dump()
                      << "\n";
        } else {
            std::cout << relay.relayName << " at " << relay.address << "\n  device ID "
                      << relay.deviceID.uuidString() << "\n";
        }
    }
    if (relays.empty() && !arguments.has("json")) std::cout << "No relay is paired.\n";
    std::cout << std::flush;
    return 0;
}

int runForget(const std::vector<std::string>& words) {
    const Arguments arguments(words, {});
    arguments.expectPositional(1, "the relay to forget (its name or device ID)");
    PairedRelays relays;
    const PairedRelay relay = relays.find(arguments.positional()[0]);
    relays.remove(relay.deviceID);
    std::cout << "Forgot relay \u201C" << relay.relayName << "\u201D." << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // This process holds device keys: no core dumps, no tracing by other processes.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        (all.empty() ? std::cerr : std::cout) << usage;
        return all.empty() ? 2 : 0;
    }
    const std::map<std::string, int (*)(const std::vector<std::string>&)> commands = {
        {"pair", runPair}, {"serve", runServe}, {"list", runList}, {"forget", runForget}};
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    try {
        const auto command = commands.find(all[0]);
        if (command == commands.end())
            throw UsageError("unknown command \"" + all[0] + "\" (see kestrel-agent --help)");
        for (const std::string& word : rest) {
            if (word == "--help" || word == "-h") {
                std::cout << usage;
                return 0;
            }
        }
        return command->second(rest);
    } catch (const UsageError& error) {
        std::cerr << "kestrel-agent: " << error.what() << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kestrel-agent: " << error.what() << std::endl;
        return 1;
    }
}
