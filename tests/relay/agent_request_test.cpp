// Paired devices' agent requests on a relay on loopback: what reaches which agent, what one
// agent that never answers holds up (only its own request), where the relay refuses to look
// for an agent, and what it reports when a request fails. Real ssh-agents where an agent
// answers; ScriptedAgentFake for the silent one and for sockets planted by someone else.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>

#include "fake_agent.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay_harness.hpp"
#include "support/scoped_environment.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel {

void PrintTo(const RecordingNoticePresenter::Call& call, std::ostream* out) {
    *out << (call.kind == RecordingNoticePresenter::Call::Kind::show
                 ? "show \"" + call.deviceName + "\""
                 : std::string("hide"));
}

namespace testing {
namespace {

namespace fs = std::filesystem;
using namespace SSHAgentProtocol;

struct PairedDeviceKeys {
    UUID deviceID;
    SymmetricKey psk;
};

// One request whose reply lands in `reply` when it comes; the client and the reply must outlive
// the coroutine (the test runs the relay until the reply is there).
asio::awaitable<void> requestInto(RelayClient& client, Bytes message, std::optional<Bytes>& reply) {
    reply = co_await client.agentRequest(message);
}

class AgentRequestTest : public ::testing::Test {
protected:
    // Long enough for any healthy agent, short enough that a silent one ends within the test.
    static constexpr auto shortAgentLimit = std::chrono::seconds(2);

    void SetUp() override {
        harness_.startRelay();
        setAgentLimit(shortAgentLimit);
    }

    void setAgentLimit(std::chrono::steady_clock::duration limit) {
        RelayListener::Deadlines deadlines;
        deadlines.agentExchange = limit;
        harness_.controller->listener()->setDeadlines(deadlines);
    }

    PairedDeviceKeys pairDevice(const std::string& name) {
        const PairingGrant grant = harness_.pairNewDevice(name);
        return {grant.deviceID, grant.pskData};
    }

    RelayClient openPaired(const PairedDeviceKeys& device) {
        return harness_.run(harness_.openPaired(device.deviceID, device.psk));
    }

    Bytes request(RelayClient& client, ByteView message) {
        return harness_.run(client.agentRequest(message));
    }

    void startRequest(RelayClient& client, Bytes message, std::optional<Bytes>& reply) {
        asio::co_spawn(harness_.io, requestInto(client, std::move(message), reply), asio::detached);
    }

    std::size_t inFlight() { return harness_.controller->listener()->agentExchangesInFlight(); }

    std::vector<AgentFailure> agentFailures() const {
        std::vector<AgentFailure> failures;
        for (const RelayEvent& event : harness_.events) {
            if (const auto* failure = std::get_if<AgentFailure>(&event))
                failures.push_back(*failure);
        }
        return failures;
    }

    RelayHarness harness_;
    TemporaryDirectory sockets_;
};

// Device "Waiting" signs through an agent that never answers while device "Answered" lists and
// signs through a real one: every request of "Answered" is done while the first still waits,
// and both sign requests share one notice until the last is answered.
TEST_F(AgentRequestTest, ASilentAgentHoldsUpOnlyItsOwnRequest) {
    const SSHAgentFixture agent;
    const std::string silentPath = (sockets_.path() / "silent.sock").string();
    ScriptedAgentFake silent(silentPath, {.reply = {}, .holdOpen = true});
    RelayClient waiting = openPaired(pairDevice("Waiting"));
    RelayClient answered = openPaired(pairDevice("Answered"));

    harness_.controller->setSocketOverride(agent.socketPath());
    const auto identities =
        decodeIdentitiesAnswer(deframe(request(answered, encodeRequestIdentities()))->body);
    ASSERT_EQ(identities.size(), 1u);
    const Bytes keyBlob = identities[0].keyBlob;

    harness_.controller->setSocketOverride(silentPath);
    const Bytes silentSign = encodeSignRequest(keyBlob, toBytes("for the silent agent"), {});
    std::optional<Bytes> silentReply;
    startRequest(waiting, silentSign, silentReply);
    // The notice is up and the request waits out its lead time: the path it goes to was read
    // when it arrived, so changing the setting now must not send it elsewhere.
    harness_.runUntil([&] { return harness_.notices.isShowing(); });
    harness_.controller->setSocketOverride(agent.socketPath());
    harness_.runUntil([&] { return inFlight() == 1; });

    EXPECT_EQ(
        decodeIdentitiesAnswer(deframe(request(answered, encodeRequestIdentities()))->body).size(),
        1u);
    const Bytes data = toBytes("for the real agent");
    const Bytes signature = request(answered, encodeSignRequest(keyBlob, data, {}));
    EXPECT_EQ(messageType(deframe(signature)->body), SSHAgentMessageType::signResponse);
    EXPECT_FALSE(silentReply) << "the silent agent answered";
    EXPECT_EQ(inFlight(), 1u);
    EXPECT_TRUE(harness_.notices.isShowing()) << "one answer took down a notice still needed";
    EXPECT_TRUE(agentFailures().empty());

    harness_.runUntil([&] { return silentReply.has_value(); });
    EXPECT_EQ(*silentReply, encodeFailure());
    EXPECT_EQ(inFlight(), 0u);
    using Call = RecordingNoticePresenter::Call;
    EXPECT_EQ(harness_.notices.calls(),
              (std::vector<Call>{{Call::Kind::show, "Waiting"}, {Call::Kind::hide, ""}}));
    EXPECT_EQ(silent.receivedRequest(), silentSign);

    const auto failures = agentFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].deviceName, "Waiting");
    EXPECT_EQ(failures[0].socketPath, silentPath);
    EXPECT_EQ(failures[0].reason, "the SSH agent did not answer within 2 s");
    EXPECT_EQ(harness_.controller->lastAgentFailure()->reason, failures[0].reason);
}

// Revoking a device ends its request at the agent at once (the agent sees the connection close)
// and leaves other devices' requests alone; stopping the relay ends the rest. The time limit is
// the full minute here, so only the cancellation can end these exchanges within the test.
TEST_F(AgentRequestTest, RevocationAndStopEndRequestsWaitingForTheAgent) {
    setAgentLimit(std::chrono::seconds(60));
    const std::string firstPath = (sockets_.path() / "first.sock").string();
    const std::string secondPath = (sockets_.path() / "second.sock").string();
    ScriptedAgentFake first(firstPath, {.reply = {}, .holdOpen = true});
    ScriptedAgentFake second(secondPath, {.reply = {}, .holdOpen = true});
    const PairedDeviceKeys revoked = pairDevice("Revoked");
    RelayClient revokedClient = openPaired(revoked);
    RelayClient keptClient = openPaired(pairDevice("Kept"));

    std::optional<Bytes> revokedReply;
    std::optional<Bytes> keptReply;
    harness_.controller->setSocketOverride(firstPath);
    startRequest(revokedClient, encodeRequestIdentities(), revokedReply);
    harness_.runUntil([&] { return inFlight() == 1; });
    harness_.controller->setSocketOverride(secondPath);
    startRequest(keptClient, encodeRequestIdentities(), keptReply);
    harness_.runUntil([&] { return inFlight() == 2; });

    harness_.controller->revoke(revoked.deviceID);
    harness_.runUntil([&] { return inFlight() == 1; });
    EXPECT_EQ(first.receivedRequest(), encodeRequestIdentities());
    EXPECT_FALSE(revokedReply) << "a revoked device got an answer";
    EXPECT_FALSE(keptReply);

    harness_.controller->stop();
    harness_.runUntil([&] { return inFlight() == 0; });
    EXPECT_EQ(second.receivedRequest(), encodeRequestIdentities());
    EXPECT_TRUE(agentFailures().empty()) << "a cancelled request is no failure of the agent";
}

// A socket planted in a world-writable working directory, named by a path that is not absolute
// in each place a path can come from: the relay never connects to it, and says why the request
// failed. The same socket named by its absolute path is used, so the fake would have been seen.
TEST_F(AgentRequestTest, ARelativeAgentPathInAWorldWritableDirectoryIsNeverUsed) {
    const TemporaryDirectory home;
    const ScopedEnvironmentVariable homeVariable("HOME", home.path().string());
    const ScopedEnvironmentVariable agentVariable("SSH_AUTH_SOCK", std::nullopt);
    const TemporaryDirectory shared;
    fs::permissions(shared.path(), fs::perms::all | fs::perms::sticky_bit);
    const ScopedWorkingDirectory workingDirectory(shared.path());
    RelayClient client = openPaired(pairDevice("Phone"));
    const Bytes plantedReply = frame(Bytes{12, 0, 0, 0, 0});  // an empty identities answer

    struct Source {
        const char* name;
        std::string relativePath;
        std::function<void()> configure;
    };
    const Source sources[] = {
        {"custom path", "agent.sock",
         [&] { harness_.controller->setSocketOverride("agent.sock"); }},
        {"ssh_config", "${XDG_RUNTIME_DIR}/ssh-agent.socket",
         [&] {
             fs::create_directories(home.path() / ".ssh");
             std::ofstream(home.path() / ".ssh" / "config")
                 << "IdentityAgent ${XDG_RUNTIME_DIR}/ssh-agent.socket\n";
         }},
        {"SSH_AUTH_SOCK", "env/agent.sock", [&] { agentVariable.set("env/agent.sock"); }},
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        fs::create_directories((shared.path() / source.relativePath).parent_path());
        ScriptedAgentFake planted((shared.path() / source.relativePath).string(),
                                  {.reply = plantedReply});
        source.configure();
        EXPECT_EQ(request(client, encodeRequestIdentities()), encodeFailure());
        EXPECT_FALSE(planted.accepted()) << "the relay connected to " << source.relativePath;
        ASSERT_FALSE(agentFailures().empty());
        EXPECT_EQ(agentFailures().back().socketPath, std::nullopt);
        EXPECT_NE(agentFailures().back().reason.find("no SSH agent socket found"),
                  std::string::npos);
    }

    ScriptedAgentFake planted((shared.path() / "absolute.sock").string(), {.reply = plantedReply});
    harness_.controller->setSocketOverride((shared.path() / "absolute.sock").string());
    EXPECT_EQ(request(client, encodeRequestIdentities()), plantedReply);
    EXPECT_TRUE(planted.accepted());
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
