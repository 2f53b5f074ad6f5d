// The kestrel-relay program as a user runs it: `serve` in the background, the other subcommands
// through --json, a device played by the protocol library's client role, a real ssh-agent.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/base64.hpp"
#include "protocol/pairing.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "protocol/test_support.hpp"
#include "relay/relay_client.hpp"
#include "support/child_process.hpp"
#include "support/run_to_end.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel::testing {
namespace {

using Json = nlohmann::json;
using namespace SSHAgentProtocol;

// A user's session: a HOME and XDG directories of its own, and a real agent.
class RelayCLITest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(runtime());
        std::filesystem::permissions(runtime(), std::filesystem::perms::owner_all);
        environment_ = environmentWith({{"HOME", home_.path().string()},
                                        {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                                        {"XDG_DATA_HOME", (home_.path() / "data").string()},
                                        {"XDG_RUNTIME_DIR", runtime().string()},
                                        {"SSH_AUTH_SOCK", agent_.socketPath()}});
    }

    std::filesystem::path runtime() const { return home_.path() / "run"; }

    // Starts `serve --json` (behind a launcher such as prlimit, if given) and returns its first
    // line.
    Json startServe(std::vector<std::string> launcher = {}) {
        launcher.insert(launcher.end(), {KESTREL_RELAY, "serve", "--json"});
        serve_ = std::make_unique<ChildProcess>(launcher, environment_);
        const auto line = serve_->readLine();
        if (!line) throw std::runtime_error("serve did not start: " + serve_->standardError());
        return Json::parse(*line);
    }

    ProcessOutput cli(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTREL_RELAY);
        ProcessOutput output = runProcess(arguments, environment_);
        everythingPrinted_ += output.standardOutput + output.standardError;
        return output;
    }

    Json cliJson(std::vector<std::string> arguments) {
        arguments.push_back("--json");
        const ProcessOutput output = cli(arguments);
        EXPECT_EQ(output.exitStatus, 0) << output.standardError;
        return Json::parse(output.standardOutput);
    }

    template <typename T>
    T run(asio::awaitable<T> task) {
        return runToEnd(io_, std::move(task));
    }

    asio::awaitable<asio::ip::tcp::socket> connect(std::uint16_t port,
                                                   std::string source = "127.0.0.1") {
        asio::ip::tcp::socket socket(io_);
        socket.open(asio::ip::tcp::v4());
        socket.bind({asio::ip::make_address(source), 0});
        co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port},
                                      asio::use_awaitable);
        co_return socket;
    }

    // The device's side of pairing, returning its grant's ID and key.
    asio::awaitable<std::pair<UUID, SymmetricKey>> pairDevice(std::uint16_t port, std::string code,
                                                              std::string source = "127.0.0.1") {
        const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, "CLI Phone");
        RelayClient client = co_await RelayClient::open(co_await connect(port, source), preamble,
                                                        Pairing::bootstrapPSK(code));
        const PairingGrant grant = co_await client.receivePairingGrant();
        co_return std::pair{grant.deviceID, grant.pskData};
    }

    // Lists the agent's keys as the device, through a fresh connection.
    asio::awaitable<std::size_t> countKeys(std::uint16_t port, UUID deviceID, SymmetricKey psk) {
        const ConnectionPreamble preamble(ConnectionMode::paired, deviceID, "CLI Phone");
        RelayClient client =
            co_await RelayClient::open(co_await connect(port), preamble, std::move(psk));
        const Bytes answer = co_await client.agentRequest(encodeRequestIdentities());
        const auto identities = decodeIdentitiesAnswer(deframe(answer)->body);
        const Bytes signature = co_await client.agentRequest(
            encodeSignRequest(identities.at(0).keyBlob, toBytes("x"), {}));
        if (messageType(deframe(signature)->body) != SSHAgentMessageType::signResponse) co_return 0;
        co_return identities.size();
    }

    // The raw reply to a request, failure included, through a fresh connection.
    asio::awaitable<Bytes> replyTo(Bytes request, std::uint16_t port, UUID deviceID,
                                   SymmetricKey psk) {
        const ConnectionPreamble preamble(ConnectionMode::paired, deviceID, "CLI Phone");
        RelayClient client =
            co_await RelayClient::open(co_await connect(port), preamble, std::move(psk));
        co_return co_await client.agentRequest(request);
    }

    SSHAgentFixture agent_;
    TemporaryDirectory home_;
    std::vector<std::string> environment_;
    std::unique_ptr<ChildProcess> serve_;
    asio::io_context io_;
    std::string everythingPrinted_;  // all the CLI printed, to look for leaked keys
};

TEST_F(RelayCLITest, PairListSignRevokeAndRestartThroughTheCommandLine) {
    const Json started = startServe();
    const std::uint16_t port = started["port"].get<std::uint16_t>();
    EXPECT_EQ(started["agentSocket"], agent_.socketPath());
    const Json status = cliJson({"status"});
    EXPECT_EQ(status["port"], port);
    EXPECT_EQ(status["relayName"], started["relayName"]);
    EXPECT_TRUE(status["pairing"].is_null());

    ChildProcess pair({KESTREL_RELAY, "pair", "--json", "--seconds", "60"}, environment_);
    const Json opened = Json::parse(pair.readLine().value());
    EXPECT_TRUE(opened.contains("expiresAt"));
    EXPECT_EQ(cliJson({"status"})["pairing"]["code"], opened["code"]);
    const auto [deviceID, psk] = run(pairDevice(port, opened["code"].get<std::string>()));
    const Json result = Json::parse(pair.readLine().value());
    EXPECT_EQ(pair.wait(), 0);
    EXPECT_EQ(result["result"], "paired");
    EXPECT_EQ(result["deviceID"], deviceID.uuidString());
    EXPECT_EQ(result["displayName"], "CLI Phone");

    EXPECT_EQ(run(countKeys(port, deviceID, psk)), 1u);
    EXPECT_NE(serve_->standardError().find("SSH signature requested: \u201CCLI Phone\u201D"),
              std::string::npos);
    const Json devices = cliJson({"devices"})["devices"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_TRUE(devices[0]["lastUsedAt"].is_string());

    // A restart keeps the device: everything it needs was stored when it paired.
    serve_->signal(SIGTERM);
    EXPECT_EQ(serve_->wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(runtime() / "kestrel-relay" / "control.sock"));
    const std::uint16_t newPort = startServe()["port"].get<std::uint16_t>();
    EXPECT_EQ(run(countKeys(newPort, deviceID, psk)), 1u);

    // The device's key is printed nowhere and stored only in the key store.
    cliJson({"status"});
    cli({"status"});
    cli({"devices"});
    const std::string settings =
        readTextFile(home_.path() / "config" / "kestrel-relay" / "settings.json");
    for (const std::string& form : {base64Encode(psk.bytes()), toHex(psk.bytes())}) {
        EXPECT_EQ(everythingPrinted_.find(form), std::string::npos);
        EXPECT_EQ(serve_->standardError().find(form), std::string::npos);
        EXPECT_EQ(settings.find(form), std::string::npos);
    }

    EXPECT_EQ(cliJson({"revoke", "CLI Phone"})["revoked"]["deviceID"], deviceID.uuidString());
    EXPECT_THROW(run(countKeys(newPort, deviceID, psk)), std::system_error);
    EXPECT_TRUE(cliJson({"devices"})["devices"].empty());
}

// Paired computers know the relay by its address: a restart asks for the same port, and only a
// port taken by another program makes it take a new one (devices then find it by name). Status
// says which.
TEST_F(RelayCLITest, TheRelayKeepsItsPortAcrossRestartsAndTakesAnotherWhenItIsTaken) {
    const auto restart = [&] {
        serve_->signal(SIGTERM);
        EXPECT_EQ(serve_->wait(), 0);
        return startServe()["port"].get<std::uint16_t>();
    };
    const std::uint16_t first = startServe()["port"].get<std::uint16_t>();
    EXPECT_EQ(cliJson({"status"})["portNote"],
              "chosen by the system; asked for again at the next start");
    EXPECT_EQ(restart(), first);
    EXPECT_EQ(cliJson({"status"})["portNote"], "the port it had last time");

    serve_->signal(SIGTERM);
    EXPECT_EQ(serve_->wait(), 0);
    asio::ip::tcp::acceptor squatter(io_, {asio::ip::make_address("127.0.0.1"), first});
    const std::uint16_t second = startServe()["port"].get<std::uint16_t>();
    EXPECT_NE(second, first);
    const std::string line = cli({"status"}).standardOutput;
    EXPECT_NE(line.find("on port " + std::to_string(second) + " (port " + std::to_string(first) +
                        ", which it had last time, could not be used (Address already in use); "
                        "asked for again at the next start)"),
              std::string::npos)
        << line;
    squatter.close();
    EXPECT_EQ(restart(), second) << "the new port is the one kept";
}

// The serve log: a line per event with the local time on standard error, the same as JSON lines
// on standard output; refusals from the network are written whole only a few times a minute.
TEST_F(RelayCLITest, TheServeLogTellsEachEventOnceWithItsTimeAndSumsUpAFloodOfRefusals) {
    const Json started = startServe();
    EXPECT_EQ(started["event"], "started");
    const auto port = started["port"].get<std::uint16_t>();
    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const auto paired =
        run(pairDevice(port, Json::parse(pair.readLine().value())["code"].get<std::string>()));
    const UUID deviceID = paired.first;
    EXPECT_EQ(pair.wait(), 0);

    // A device that is not paired, twenty times: five lines, then a sum.
    const UUID stranger = UUID::random();
    const auto strangerConnects = [&]() -> asio::awaitable<void> {
        const ConnectionPreamble preamble(ConnectionMode::paired, stranger, "Stranger");
        co_await RelayClient::open(co_await connect(port), preamble, SymmetricKey::random(32));
    };
    for (int attempt = 0; attempt < 20; ++attempt) EXPECT_ANY_THROW(run(strangerConnects()));
    EXPECT_EQ(run(replyTo(frame(Bytes{19}), port, deviceID, paired.second)), encodeFailure());
    cliJson({"revoke", "CLI Phone"});
    serve_->signal(SIGTERM);
    EXPECT_EQ(serve_->wait(), 0);

    std::vector<Json> events = {started};
    while (const auto line = serve_->readLine()) events.push_back(Json::parse(*line));
    std::map<std::string, std::vector<Json>> byKind;
    for (const Json& event : events) byKind[event["event"]].push_back(event);
    EXPECT_EQ(byKind["pairingOpened"].size(), 1u);
    ASSERT_EQ(byKind["paired"].size(), 1u);
    EXPECT_EQ(byKind["paired"][0]["deviceID"], deviceID.uuidString());
    EXPECT_EQ(byKind["pairingClosed"].size(), 0u) << "a pairing that paired is told once";
    ASSERT_EQ(byKind["connectionRefused"].size(), 5u);
    EXPECT_EQ(byKind["connectionRefused"][0]["reason"], "unknown device " + stranger.uuidString());
    ASSERT_EQ(byKind["connectionsRefused"].size(), 1u);
    EXPECT_EQ(byKind["connectionsRefused"][0]["count"], 15);
    ASSERT_EQ(byKind["requestRefused"].size(), 1u);
    EXPECT_EQ(byKind["requestRefused"][0]["reason"],
              "request type 19 (remove all keys) is not relayed");
    EXPECT_EQ(byKind["revoked"].size(), 1u);
    ASSERT_EQ(byKind["stopped"].size(), 1u);
    EXPECT_EQ(events.back()["event"], "stopped");

    // Each JSON line has its twin on standard error, with the local time in front.
    std::istringstream log(serve_->standardError());
    std::size_t timed = 0;
    for (std::string line; std::getline(log, line);) {
        if (std::regex_search(line,
                              std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d kestrel-relay: )")))
            ++timed;
    }
    EXPECT_EQ(timed, events.size()) << serve_->standardError();
    EXPECT_NE(serve_->standardError().find("refused 15 more connections before authentication in "
                                           "the last minute, from 1 address"),
              std::string::npos);
}

// A device polling for an open code asks for pairing while none is open; the relay closes it.
asio::awaitable<void> pollForCode(asio::awaitable<asio::ip::tcp::socket> connecting) {
    asio::ip::tcp::socket socket = co_await std::move(connecting);
    RelayConnectionIO io(socket);
    co_await io.send(
        ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Poll").serialized());
    try {
        co_await io.receive();
    } catch (const std::system_error&) {
    }
}

TEST_F(RelayCLITest, AHeldPairingIsToldByPairAndDecidedByApprove) {
    const auto port = startServe()["port"].get<std::uint16_t>();
    run(pollForCode(connect(port, "127.0.0.2")));
    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const Json opened = Json::parse(pair.readLine().value());
    const auto [deviceID, psk] =
        run(pairDevice(port, opened["code"].get<std::string>(), "127.0.0.2"));
    const Json result = Json::parse(pair.readLine().value());
    EXPECT_EQ(pair.wait(), 3) << "paired, but held";
    EXPECT_EQ(result["result"], "paired");
    EXPECT_EQ(result["held"], true);
    ASSERT_EQ(result["evidence"].size(), 1u);
    EXPECT_EQ(result["evidence"][0]["description"],
              "1 pairing attempt from 127.0.0.2 before this code was shown");
    EXPECT_NE(serve_->standardError().find("HELD"), std::string::npos) << "the log says so too";

    EXPECT_ANY_THROW(run(countKeys(port, deviceID, psk))) << "refused while held";
    EXPECT_EQ(cliJson({"devices"})["devices"][0]["held"], true);
    EXPECT_EQ(cliJson({"status"})["heldDevices"].size(), 1u);
    const ProcessOutput text = cli({"status"});
    EXPECT_NE(text.standardOutput.find("before this code was shown"), std::string::npos);

    // With the relay stopped, devices, approve and revoke act on the stores, and the next start
    // goes by what they did.
    const auto stopServe = [&] {
        serve_->signal(SIGTERM);
        EXPECT_EQ(serve_->wait(), 0);
    };
    stopServe();
    const Json stored = cliJson({"devices"});
    EXPECT_EQ(stored["relayRunning"], false);
    EXPECT_EQ(stored["devices"][0]["held"], true);
    EXPECT_EQ(cliJson({"approve", "CLI Phone"})["approved"]["deviceID"], deviceID.uuidString());
    EXPECT_EQ(run(countKeys(startServe()["port"].get<std::uint16_t>(), deviceID, psk)), 1u);
    const ProcessOutput again = cli({"approve", deviceID.uuidString()});
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_NE(again.standardError.find("is not held"), std::string::npos);

    stopServe();
    const ProcessOutput revoked = cli({"revoke", "CLI Phone"});
    EXPECT_EQ(revoked.exitStatus, 0) << revoked.standardError;
    EXPECT_EQ(revoked.standardOutput, "Revoked \"CLI Phone\" (" + deviceID.uuidString() + ").\n");
    EXPECT_EQ(cli({"revoke", "CLI Phone"}).exitStatus, 2) << "gone from the stores";
    EXPECT_THROW(run(countKeys(startServe()["port"].get<std::uint16_t>(), deviceID, psk)),
                 std::system_error);
    EXPECT_TRUE(cliJson({"devices"})["devices"].empty());
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(RelayCLITest, AgentPathsAreCheckedAndAgentFailuresAreLoggedAndShown) {
    // Taken literally, this would name a directory called "${XDG_RUNTIME_DIR}" wherever the
    // relay was started.
    std::filesystem::create_directories(home_.path() / ".ssh");
    std::ofstream(home_.path() / ".ssh" / "config")
        << "IdentityAgent ${XDG_RUNTIME_DIR}/ssh-agent.socket\n";
    const std::uint16_t port = startServe()["port"].get<std::uint16_t>();

    const Json agent = cliJson({"agent"});
    EXPECT_EQ(agent["inUse"], agent_.socketPath());
    ASSERT_EQ(agent["candidates"][0]["label"], "ssh_config (IdentityAgent)");
    EXPECT_NE(agent["candidates"][0]["skipped"].get<std::string>().find("not expanded"),
              std::string::npos);
    EXPECT_NE(cli({"agent"}).standardOutput.find("${XDG_RUNTIME_DIR}/ssh-agent.socket  (skipped: "),
              std::string::npos);

    for (const char* refused :
         {"relative.sock", "./agent.sock", "~/agent.sock", "$XDG_RUNTIME_DIR/agent.sock"}) {
        SCOPED_TRACE(refused);
        const ProcessOutput output = cli({"config", "set", "socket-override", refused});
        EXPECT_EQ(output.exitStatus, 2) << "a bad argument";
        EXPECT_EQ(lineCount(output.standardError), 1u) << output.standardError;
        EXPECT_NE(output.standardError.find("not an absolute path"), std::string::npos);
        EXPECT_EQ(cliJson({"config", "get", "socket-override"})["value"], "");
    }

    // Kept, with a warning: the agent may start later. A missing path is passed over (the next
    // candidate serves); a socket nobody listens on is used, and fails.
    const std::string missing = (home_.path() / "no-agent.sock").string();
    const std::string stale = (home_.path() / "stale.sock").string();
    {
        asio::local::stream_protocol::acceptor gone(io_,
                                                    asio::local::stream_protocol::endpoint(stale));
    }
    for (const auto& [path, problem] :
         {std::pair{missing,
                    "nothing accepts connections there (No such file or directory); "
                    "until it exists, the next agent socket found is used"},
          std::pair{stale,
                    "nothing accepts connections there (Connection refused); agent "
                    "requests fail until an agent listens there"}}) {
        const ProcessOutput set = cli({"config", "set", "socket-override", path});
        EXPECT_EQ(set.exitStatus, 0) << set.standardError;
        EXPECT_EQ(lineCount(set.standardError), 1u) << set.standardError;
        EXPECT_NE(set.standardError.find("warning: " + path + ": " + problem), std::string::npos)
            << set.standardError;
        EXPECT_EQ(cliJson({"config", "get", "socket-override"})["value"], path);
    }
    EXPECT_TRUE(cliJson({"status"})["lastAgentFailure"].is_null());

    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const Json opened = Json::parse(pair.readLine().value());
    const auto [deviceID, psk] = run(pairDevice(port, opened["code"].get<std::string>()));
    ASSERT_EQ(pair.wait(), 0);
    EXPECT_EQ(run(replyTo(encodeRequestIdentities(), port, deviceID, psk)), encodeFailure());

    const Json failure = cliJson({"status"})["lastAgentFailure"];
    EXPECT_EQ(failure["deviceName"], "CLI Phone");
    EXPECT_EQ(failure["socketPath"], stale);
    const std::string line = "agent request from \u201CCLI Phone\u201D failed: " + stale +
                             ": cannot connect to the SSH agent socket: Connection refused";
    EXPECT_EQ(failure["line"], line);
    EXPECT_NE(serve_->standardError().find("kestrel-relay: " + line), std::string::npos)
        << serve_->standardError();
    EXPECT_NE(cli({"status"}).standardOutput.find("Last agent failure ("), std::string::npos);

    // Back to none: the agent of SSH_AUTH_SOCK answers again.
    EXPECT_EQ(cli({"config", "set", "socket-override", ""}).standardError, "");
    EXPECT_EQ(run(countKeys(port, deviceID, psk)), 1u);
}

TEST_F(RelayCLITest, OutOfDescriptorsTheRelayWaitsInsteadOfSpinningAndThenServesAgain) {
    // A hard limit that serve cannot raise, so that a few idle connections use up its
    // descriptors long before the cap on unauthenticated connections does.
    const auto port =
        startServe({"/usr/bin/prlimit", "--nofile=32:32"})["port"].get<std::uint16_t>();
    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const Json opened = Json::parse(pair.readLine().value());
    const auto [deviceID, psk] = run(pairDevice(port, opened["code"].get<std::string>()));
    ASSERT_EQ(pair.wait(), 0);
    // Served once while descriptors last. This also matters to the sanitizer build: UBSan
    // checks a type it meets for the first time through a pipe of its own, which a relay out of
    // descriptors cannot open (it would report a bogus invalid vptr and stop).
    EXPECT_EQ(run(countKeys(port, deviceID, psk)), 1u);

    const auto connectFrom = [&](const std::string& source) {
        asio::ip::tcp::socket socket(io_);
        socket.open(asio::ip::tcp::v4());
        socket.bind({asio::ip::make_address(source), 0});
        socket.connect({asio::ip::make_address("127.0.0.1"), port});
        return socket;
    };
    std::vector<asio::ip::tcp::socket> idle;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        for (int i = 0; i < 8; ++i) idle.push_back(connectFrom(source));
    }
    // A ninth connection from one address is closed as soon as it is accepted; while it stays
    // open, the relay cannot accept it: it has no descriptor left.
    asio::ip::tcp::socket ninth = connectFrom("127.0.0.2");
    ninth.non_blocking(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::uint8_t byte;
    std::error_code error;
    ninth.read_some(asio::buffer(&byte, 1), error);
    ASSERT_EQ(error, asio::error::would_block) << "the relay was not out of descriptors";

    // The control socket's accept loop meets the same shortage.
    ChildProcess status({KESTREL_RELAY, "status", "--json"}, environment_);
    EXPECT_LT(processorTicksDuring(serve_->pid(), std::chrono::seconds(1)),
              sysconf(_SC_CLK_TCK) / 4)
        << "the accept loop spins on EMFILE";

    idle.clear();
    ninth.close();
    EXPECT_EQ(run(countKeys(port, deviceID, psk)), 1u);
    EXPECT_EQ(status.wait(), 0) << status.standardError();
}

// A second terminal's `pair` takes over the window, and both say so; Ctrl-C closes it.
TEST_F(RelayCLITest, ASecondPairReplacesTheCodeAndInterruptingPairCancelsIt) {
    startServe();
    ChildProcess first({KESTREL_RELAY, "pair"}, environment_);
    while (first.readLine().value().find("Ctrl-C") == std::string::npos) {
    }
    ChildProcess second({KESTREL_RELAY, "pair", "--json"}, environment_);
    EXPECT_EQ(Json::parse(second.readLine().value())["replacedOpenCode"], true);
    EXPECT_EQ(first.wait(), 1);
    EXPECT_EQ(first.standardError(), "Pairing cancelled: a new code replaced it.\n");

    const ProcessOutput third = cli({"pair", "--seconds", "1"});
    EXPECT_NE(third.standardOutput.find("This replaced the code that was open"), std::string::npos)
        << third.standardOutput;
    EXPECT_EQ(Json::parse(second.readLine().value())["result"], "cancelled");
    second.wait();

    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    EXPECT_EQ(Json::parse(pair.readLine().value())["replacedOpenCode"], false);
    pair.signal(SIGINT);
    EXPECT_EQ(Json::parse(pair.readLine().value())["result"], "cancelled");
    EXPECT_NE(pair.wait(), 0);
    EXPECT_TRUE(cliJson({"status"})["pairing"].is_null());
}

TEST_F(RelayCLITest, OneRelayPerUserAndClearWordsWhenNoneRuns) {
    const ProcessOutput nothing = cli({"status"});
    EXPECT_EQ(nothing.exitStatus, 1);
    EXPECT_NE(nothing.standardError.find("no relay is running"), std::string::npos);

    startServe();
    const ProcessOutput second = cli({"serve"});
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_NE(second.standardError.find("already running"), std::string::npos);
}

TEST_F(RelayCLITest, EachCommandHasItsOwnHelp) {
    for (const std::string command :
         {"serve", "status", "pair", "cancel-pairing", "devices", "revoke", "approve", "config",
          "agent", "activity", "device", "allow", "deny"}) {
        const ProcessOutput output = cli({command, "--help"});
        EXPECT_EQ(output.exitStatus, 0) << command;
        EXPECT_TRUE(output.standardOutput.starts_with("usage: kestrel-relay " + command + " "))
            << output.standardOutput;
    }
}

TEST_F(RelayCLITest, BadArgumentsGetOneLineAndExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"frobnicate"},
        {"status", "--bogus"},
        {"pair", "--seconds", "0"},
        {"pair", "--seconds", "soon"},
        {"serve", "--port", "70000"},
        {"serve", "--secret-store", "vault"},
        {"revoke"},
        {"approve"},
        {"config", "set", "hide-dock-icon"},
        {"activity", "extra"},
        {"device", "Phone"},
        {"device", "Phone", "approval", "sometimes"},
        {"device", "Phone", "colour", "red"},
        {"allow"},
        {"allow", "seven"},
        {"deny", "0"},
        {"deny", "7", "--for-10-minutes"},
        {},
    };
    const auto expectUsageError = [&](const std::vector<std::string>& arguments) {
        const ProcessOutput output = cli(arguments);
        EXPECT_EQ(output.exitStatus, 2) << arguments.size();
        EXPECT_FALSE(output.standardError.empty());
        if (!arguments.empty()) {
            EXPECT_EQ(std::count(output.standardError.begin(), output.standardError.end(), '\n'), 1)
                << output.standardError;
        }
    };
    for (const auto& arguments : cases) expectUsageError(arguments);

    // Requests the running relay finds wrong are usage errors too; a relay that cannot carry
    // out a right one is a failure (1).
    startServe();
    const std::vector<std::vector<std::string>> refusedByTheRelay = {
        {"config", "get", "nope"},
        {"config", "set", "launch-at-login", "maybe"},
        {"config", "set", "socket-override", "relative/agent.sock"},
        {"config", "set", "secret-store", "vault"},
        {"revoke", "nosuch"},
        {"approve", "5E0C0D3A-0000-4000-8000-000000000001"},
        {"device", "nosuch", "approval", "ask"},
        {"allow", "999"},
        {"deny", "999"},
    };
    for (const auto& arguments : refusedByTheRelay) {
        SCOPED_TRACE(arguments[0] + " " + arguments[1]);
        expectUsageError(arguments);
    }
    const ProcessOutput version = cli({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_TRUE(version.standardOutput.starts_with("kestrel-relay ")) << version.standardOutput;
}

}  // namespace
}  // namespace kestrel::testing
