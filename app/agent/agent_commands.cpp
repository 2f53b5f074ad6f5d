#include "app/agent/agent_commands.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string_view>

#include "app/agent/agent_server.hpp"
#include "app/agent/paired_relays.hpp"
#include "app/agent/relay_connection.hpp"
#include "app/common/arguments.hpp"
#include "app/common/iso_date.hpp"
#include "platform/avahi_service_browser.hpp"
#include "platform/host_name.hpp"
#include "platform/paths.hpp"
#include "protocol/secure_channel.hpp"
#include "protocol/service_type.hpp"

namespace kestrel::agent {
namespace {

using cli::Arguments;
using cli::UsageError;

void runToCompletion(asio::io_context& io, asio::awaitable<void> task) {
    auto done = asio::co_spawn(io, std::move(task), asio::use_future);
    io.run();
    io.restart();
    done.get();
}

std::string readCode(const Arguments& arguments) {
    if (auto code = arguments.value("code")) return *code;
    if (::isatty(STDIN_FILENO)) std::cerr << "Code shown by the relay: " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line))
        throw UsageError("no code given (--code CODE, or type it at the prompt)");
    return line;
}

// The line that replaces a failure of pairing, by how far it got.
std::string pairingFailure(RelayStep step, const std::exception_ptr& failure,
                           const std::string& address) {
    std::error_code code;
    try {
        std::rethrow_exception(failure);
    } catch (const std::system_error& error) {
        code = error.code();
    } catch (...) {
    }
    const bool closed = code == RelayIOError::closed || code == asio::error::connection_reset ||
                        code == asio::error::broken_pipe;
    if (step == RelayStep::handshake && code == SecureChannelError::confirmRejected) {
        return "the relay did not accept this code; check it and try again (or open a new one "
               "with `kestrel-relay pair`)";
    }
    if (step == RelayStep::handshake && closed) {
        return "the relay at " + address +
               " closed the connection: no code is open there (run `kestrel-relay pair` on the "
               "relay), or another device is using it";
    }
    return "the relay at " + address + describeRelayFailure(step, failure);
}

std::string defaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string directory = runtime != nullptr && runtime[0] == '/'
                                      ? std::string(runtime) + "/kestrel-agent"
                                      : "/tmp/kestrel-agent-" + std::to_string(::getuid());
    ensurePrivateDirectory(directory);
    return directory + "/agent.sock";
}

// What eval "$(kestrel-agent serve)" runs, in the form ssh-agent -s prints.
void printShellLines(const std::string& path, pid_t pid, const std::string& relayName) {
    std::cout << "SSH_AUTH_SOCK=" << shellWord(path) << "; export SSH_AUTH_SOCK;\n"
              << "KESTREL_AGENT_PID=" << pid << "; export KESTREL_AGENT_PID;\n"
              << "echo "
              << shellWord("Agent pid " + std::to_string(pid) + ", relay \u201C" + relayName +
                           "\u201D")
              << ";" << std::endl;
}

// Without -D the agent goes to the background once its socket exists, as ssh-agent does: the
// parent prints the lines for eval and returns at once. Standard error stays, for the lines
// that say why a request failed.
void detach(asio::io_context& io, const std::string& path, const std::string& relayName) {
    io.notify_fork(asio::io_context::fork_prepare);
    const pid_t child = ::fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child > 0) {
        printShellLines(path, child, relayName);
        std::_Exit(0);
    }
    io.notify_fork(asio::io_context::fork_child);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

using cli::isoDate;

// Long enough for the daemon to ask the network once and hear the answers.
constexpr std::chrono::seconds browseLimit{3};

// The relay to pair with, found by DNS-SD: the one named, the only one, or the one the user
// picks at the terminal.
DiscoveredService chooseRelay(const std::optional<std::string>& wantedName) {
    const std::vector<DiscoveredService> found =
        browseServices(std::string(relayBonjourServiceType), browseLimit);
    if (found.empty()) {
        throw std::runtime_error(
            "no relay found on the local network (is `kestrel-relay serve` running there, and "
            "avahi-daemon on both computers?); give its address with --relay HOST:PORT");
    }
    std::cerr << "Relays on the local network:\n";
    for (std::size_t index = 0; index < found.size(); ++index)
        std::cerr << "  " << index + 1 << ". " << describeService(found[index]) << "\n";
    if (wantedName) {
        for (const DiscoveredService& service : found)
            if (service.name == *wantedName) return service;
        std::string names;
        for (const DiscoveredService& service : found)
            names += (names.empty() ? "" : ", ") + ("\u201C" + service.name + "\u201D");
        throw std::runtime_error("no relay named \u201C" + *wantedName + "\u201D; found " + names);
    }
    if (found.size() == 1) return found.front();
    if (!::isatty(STDIN_FILENO)) {
        throw UsageError("several relays found; choose one with --relay-name NAME");
    }
    std::cerr << "Pair with which one (1-" << found.size() << ")? " << std::flush;
    std::string line;
    std::size_t choice = 0;
    if (std::getline(std::cin, line)) {
        try {
            choice = std::stoul(line);
        } catch (const std::exception&) {
        }
    }
    if (choice < 1 || choice > found.size()) throw UsageError("no relay chosen");
    return found[choice - 1];
}

// The relay's new address when it moved (restarted on another port, or the computer got a new
// address), found by its advertised name; none when DNS-SD does not find it or it did not move.
std::optional<std::string> findMovedRelay(const PairedRelay& relay, std::ostream& log) {
    std::vector<DiscoveredService> found;
    try {
        found = browseServices(std::string(relayBonjourServiceType), browseLimit);
    } catch (const std::runtime_error& error) {
        log << "kestrel-agent: cannot look for relay \u201C" << relay.relayName
            << "\u201D on the local network: " << error.what() << std::endl;
        return std::nullopt;
    }
    for (const DiscoveredService& service : found) {
        if (service.name != relay.relayName) continue;
        std::string address = serviceAddress(service);
        if (address == relay.address) return std::nullopt;
        return address;
    }
    return std::nullopt;
}

}  // namespace

std::string pairingCodeDigits(const std::string& typed) {
    std::string digits;
    for (const char c : typed) {
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c != ' ' && c != '-' && c != '\t' && c != '\r') {
            digits.clear();
            break;
        }
    }
    if (digits.size() != 6) {
        throw UsageError(
            "the code is the six digits `kestrel-relay pair` shows (spaces and hyphens allowed)");
    }
    return digits;
}

std::string shellWord(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("/._-+:,@%=").find(c) != std::string_view::npos;
    });
    if (plain) return text;
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

namespace {

std::string describe(const PairedRelay& relay) {
    return "relay \u201C" + relay.relayName + "\u201D at " + relay.address + " (device " +
           relay.deviceID.uuidString() + ")";
}

// Whether an earlier pairing with the same relay may be replaced: --replace says yes; at a
// terminal the user is asked; otherwise a new pairing would be made blind, so it is refused
// before the code is used.
bool mayReplace(const PairedRelay& earlier, bool replaceGiven) {
    if (replaceGiven) return true;
    if (!::isatty(STDIN_FILENO)) {
        throw UsageError("this computer is already paired with " + describe(earlier) +
                         "; add --replace to pair again");
    }
    std::cerr << "This computer is already paired with " << describe(earlier)
              << ".\nPair again and replace that pairing? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int runPair(const std::vector<std::string>& words) {
    const Arguments arguments(words, {{"relay", true},
                                      {"relay-name", true},
                                      {"name", true},
                                      {"code", true},
                                      {"replace", false}});
    arguments.expectPositional(0, "");
    if (arguments.has("relay") && arguments.has("relay-name"))
        throw UsageError("give either --relay HOST:PORT or --relay-name NAME");
    const std::string name = arguments.value("name").value_or(localizedHostName());
    if (name.empty()) throw UsageError("--name must not be empty");
    std::optional<std::string> relayText = arguments.value("relay");
    std::optional<std::string> advertisedName;
    if (relayText) {
        parseRelayAddress(*relayText);  // a mistyped address fails before anything else
    } else {
        const DiscoveredService service = chooseRelay(arguments.value("relay-name"));
        relayText = serviceAddress(service);
        advertisedName = service.name;
    }
    const RelayAddress address = parseRelayAddress(*relayText);

    // The same relay is the same address, or the same name: DNS-SD keeps names unique on a
    // network, so a relay that restarted on another port keeps its name.
    PairedRelays relays;
    const std::vector<PairedRelay> known = relays.list();
    std::vector<UUID> replaced;
    const auto considerReplacing = [&](const std::string& relayName) {
        for (const PairedRelay& earlier : known) {
            const bool same = earlier.address == *relayText || earlier.relayName == relayName;
            if (!same ||
                std::find(replaced.begin(), replaced.end(), earlier.deviceID) != replaced.end()) {
                continue;
            }
            if (!mayReplace(earlier, arguments.has("replace")))
                throw std::runtime_error("not paired again; the earlier pairing stays");
            replaced.push_back(earlier.deviceID);
        }
    };
    considerReplacing(advertisedName.value_or(std::string()));
    const std::string code = pairingCodeDigits(readCode(arguments));

    asio::io_context io;
    std::optional<PairingGrant> grant;
    RelayStep step = RelayStep::connecting;
    try {
        runToCompletion(io,
                        withDeadline(pairWith(address, code, name, grant, step), handshakeLimit));
    } catch (...) {
        throw std::runtime_error(pairingFailure(step, std::current_exception(), *relayText));
    }
    // Given by address, the relay's name is known only now. The relay has already stored the
    // new device, so a refusal here keeps both pairings rather than lose the new one.
    try {
        considerReplacing(grant->relayName);
    } catch (const std::runtime_error&) {
        std::cerr << "kestrel-agent: kept the earlier pairing too; name the relay by device ID "
                     "(see kestrel-agent list)\n";
    }
    relays.add({grant->relayName, *relayText, grant->deviceID, std::chrono::system_clock::now()},
               grant->pskData, replaced);
    std::cout << "Paired with relay \u201C" << grant->relayName << "\u201D as device "
              << grant->deviceID.uuidString() << "." << std::endl;
    for (const UUID& old : replaced) {
        std::cout << "The earlier pairing (device " << old.uuidString()
                  << ") is gone from this computer; the relay lists that device until "
                     "`kestrel-relay revoke "
                  << old.uuidString() << "` is run there." << std::endl;
    }
    return 0;
}

int runServe(const std::vector<std::string>& words) {
    const Arguments arguments(words,
                              {{"socket", true}, {"relay", true}, {"foreground", false, 'D'}});
    arguments.expectPositional(0, "");
    const bool foreground = arguments.has("foreground");
    PairedRelays relays;
    const PairedRelay relay = relays.find(arguments.value("relay"));
    SymmetricKey key = relays.key(relay.deviceID);
    const std::string path = arguments.value("socket").value_or(defaultSocketPath());

    asio::io_context io;
    AgentServer server(io.get_executor(), relay, std::move(key), localizedHostName(), std::cerr);
    server.setRelocator([&relays](const PairedRelay& current) -> std::optional<std::string> {
        auto moved = findMovedRelay(current, std::cerr);
        if (!moved) return std::nullopt;
        std::cerr << "kestrel-agent: relay \u201C" << current.relayName << "\u201D moved from "
                  << current.address << " to " << *moved << std::endl;
        try {
            relays.updateAddress(current.deviceID, *moved);
        } catch (const std::exception& error) {
            std::cerr << "kestrel-agent: the new address could not be stored: " << error.what()
                      << std::endl;
        }
        return moved;
    });
    server.start(path);
    if (foreground)
        printShellLines(path, ::getpid(), relay.relayName);
    else
        detach(io, path, relay.relayName);
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
    if (arguments.has("json")) {
        nlohmann::json array = nlohmann::json::array();
        for (const PairedRelay& relay : relays) {
            array.push_back({{"relayName", relay.relayName},
                             {"address", relay.address},
                             {"deviceID", relay.deviceID.uuidString()},
                             {"pairedAt", isoDate(relay.pairedAt)}});
        }
        std::cout << array.dump() << std::endl;
        return 0;
    }
    for (const PairedRelay& relay : relays) {
        std::cout << "\u201C" << relay.relayName << "\u201D at " << relay.address
                  << "\n  device ID " << relay.deviceID.uuidString() << ", paired "
                  << isoDate(relay.pairedAt) << "\n";
    }
    if (relays.empty()) std::cout << "No relay is paired (kestrel-agent pair).\n";
    std::cout << std::flush;
    return 0;
}

int runForget(const std::vector<std::string>& words) {
    const Arguments arguments(words, {});
    arguments.expectPositional(1, "the relay to forget (its name or device ID)");
    PairedRelays relays;
    const PairedRelay relay = relays.find(arguments.positional()[0]);
    relays.remove(relay.deviceID);
    std::cout << "Forgot relay \u201C" << relay.relayName << "\u201D. It still lists this device "
              << "until `kestrel-relay revoke " << relay.deviceID.uuidString() << "` is run there."
              << std::endl;
    return 0;
}

}  // namespace kestrel::agent
