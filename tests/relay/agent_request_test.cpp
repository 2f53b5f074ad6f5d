// Paired devices' agent requests on a relay on loopback: what reaches which agent, what one
// agent that never answers holds up (only its own request), where the relay refuses to look
// for an agent, and what it reports when a request fails. Real ssh-agents where an agent
// answers; ScriptedAgentFake for the silent one and for sockets planted by someone else.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <thread>

#include "fake_agent.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/sign_purpose.hpp"
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
    // The notice says what is signed, with the key as the agent listed it.
    using Call = RecordingNoticePresenter::Call;
    const std::string detail = "sign 20 bytes of data with \u201C" + identities[0].comment +
                               "\u201D " + keyFingerprint(keyBlob);
    EXPECT_EQ(harness_.notices.calls(),
              (std::vector<Call>{{Call::Kind::show, "Waiting", detail}, {Call::Kind::hide}}));
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

// The keys a device may use: its list shows only those (re-encoded from the agent's answer, the
// comments kept), and a sign request with another key is refused before the agent. Another
// device still sees every key.
TEST_F(AgentRequestTest, ADeviceListsAndSignsWithOnlyTheKeysItMayUse) {
    const SSHAgentFixture agent({SSHKeyType::ed25519, SSHKeyType::ecdsaP256});
    harness_.controller->setSocketOverride(agent.socketPath());
    const PairedDeviceKeys limited = pairDevice("Limited");
    RelayClient limitedClient = openPaired(limited);
    RelayClient freeClient = openPaired(pairDevice("Free"));
    const auto all =
        decodeIdentitiesAnswer(deframe(request(freeClient, encodeRequestIdentities()))->body);
    ASSERT_EQ(all.size(), 2u);
    const std::string allowed = keyFingerprint(all[1].keyBlob);
    ASSERT_TRUE(harness_.controller->setDeviceSettings(
        limited.deviceID, {DeviceSettings::Approval::allow, std::vector<std::string>{allowed}}));

    const auto listed =
        decodeIdentitiesAnswer(deframe(request(limitedClient, encodeRequestIdentities()))->body);
    EXPECT_EQ(listed, std::vector<SSHAgentIdentity>{all[1]});
    EXPECT_EQ(decodeIdentitiesAnswer(deframe(request(freeClient, encodeRequestIdentities()))->body),
              all);

    const Bytes data = toBytes("data");
    EXPECT_EQ(request(limitedClient, encodeSignRequest(all[0].keyBlob, data, {})), encodeFailure());
    const ActivityEntry refused = harness_.controller->activity().entries().back();
    EXPECT_EQ(refused.result, ActivityResult::refused);
    EXPECT_EQ(refused.reason, "the key \u201C" + all[0].comment + "\u201D " +
                                  keyFingerprint(all[0].keyBlob) +
                                  " is not one this device may use");
    EXPECT_TRUE(harness_.notices.calls().empty()) << "a refused request put the notice up";
    EXPECT_EQ(
        messageType(
            deframe(request(limitedClient, encodeSignRequest(all[1].keyBlob, data, {})))->body),
        SSHAgentMessageType::signResponse);

    // No key at all: an empty list, and nothing signs.
    ASSERT_TRUE(harness_.controller->setDeviceSettings(
        limited.deviceID, {DeviceSettings::Approval::allow, std::vector<std::string>{}}));
    EXPECT_TRUE(
        decodeIdentitiesAnswer(deframe(request(limitedClient, encodeRequestIdentities()))->body)
            .empty());
    EXPECT_EQ(request(limitedClient, encodeSignRequest(all[1].keyBlob, data, {})), encodeFailure());
}

// A device that asks first: its sign request waits for the user while other devices go on;
// deny refuses it, "Allow for 10 minutes" lets it and the next one with that key through, and a
// request nobody answers is refused when its time runs out. The activity keeps each outcome.
TEST_F(AgentRequestTest, AnAskingDeviceWaitsForTheUserAndHoldsUpNobodyElse) {
    const SSHAgentFixture agent({SSHKeyType::ed25519, SSHKeyType::ecdsaP256});
    harness_.controller->setSocketOverride(agent.socketPath());
    const PairedDeviceKeys asking = pairDevice("Asking");
    ASSERT_TRUE(harness_.controller->setDeviceSettings(asking.deviceID,
                                                       {DeviceSettings::Approval::ask, {}}));
    RelayClient askingClient = openPaired(asking);
    RelayClient otherClient = openPaired(pairDevice("Other"));
    const auto keys =
        decodeIdentitiesAnswer(deframe(request(askingClient, encodeRequestIdentities()))->body);
    ASSERT_EQ(keys.size(), 2u);
    using Call = RecordingNoticePresenter::Call;
    const auto askedSoFar = [&] {
        std::vector<Call> asked;
        for (const Call& call : harness_.notices.calls())
            if (call.kind == Call::Kind::ask) asked.push_back(call);
        return asked;
    };
    const auto startWaiting = [&](const Bytes& keyBlob, std::optional<Bytes>& reply) {
        const std::size_t before = askedSoFar().size();
        startRequest(askingClient, encodeSignRequest(keyBlob, toBytes("data"), {}), reply);
        harness_.runUntil([&] { return askedSoFar().size() == before + 1; });
        return askedSoFar().back();
    };

    // Denied from the notice (answered on another thread, as a desktop would).
    std::optional<Bytes> deniedReply;
    const Call denied = startWaiting(keys[0].keyBlob, deniedReply);
    EXPECT_EQ(denied.deviceName, "Asking");
    EXPECT_EQ(denied.detail, "sign 4 bytes of data with \u201C" + keys[0].comment + "\u201D " +
                                 keyFingerprint(keys[0].keyBlob));
    ASSERT_EQ(harness_.controller->waitingApprovals().size(), 1u);
    EXPECT_EQ(harness_.controller->waitingApprovals()[0].requestID, denied.requestID);
    const Bytes otherSignature =
        request(otherClient, encodeSignRequest(keys[0].keyBlob, toBytes("other"), {}));
    EXPECT_EQ(messageType(deframe(otherSignature)->body), SSHAgentMessageType::signResponse);
    EXPECT_FALSE(deniedReply) << "answered before the user did";
    std::thread([&] { harness_.notices.answer(denied.requestID, ApprovalDecision::deny); }).join();
    harness_.runUntil([&] { return deniedReply.has_value(); });
    EXPECT_EQ(*deniedReply, encodeFailure());
    EXPECT_EQ(harness_.controller->activity().entries().back().result, ActivityResult::denied);

    // Allowed for 10 minutes from the terminal: this request and the next with the key pass.
    std::optional<Bytes> allowedReply;
    const Call allowed = startWaiting(keys[0].keyBlob, allowedReply);
    EXPECT_FALSE(harness_.controller->decide(allowed.requestID + 1000, ApprovalDecision::allow));
    EXPECT_TRUE(
        harness_.controller->decide(allowed.requestID, ApprovalDecision::allowForTenMinutes));
    harness_.runUntil([&] { return allowedReply.has_value(); });
    EXPECT_EQ(messageType(deframe(*allowedReply)->body), SSHAgentMessageType::signResponse);
    const std::size_t askedBefore = askedSoFar().size();
    EXPECT_EQ(messageType(deframe(request(askingClient,
                                          encodeSignRequest(keys[0].keyBlob, toBytes("again"), {})))
                              ->body),
              SSHAgentMessageType::signResponse);
    EXPECT_EQ(askedSoFar().size(), askedBefore) << "asked again within the 10 minutes";

    // A device cannot bury the screen in questions: past four waiting, it is refused at once.
    std::vector<std::optional<Bytes>> waitingReplies(SignApprovals::maxWaitingPerDevice);
    std::vector<RelayClient> more;
    more.reserve(waitingReplies.size());  // requests in flight hold on to their clients
    for (std::optional<Bytes>& reply : waitingReplies) {
        more.push_back(openPaired(asking));
        const std::size_t before = askedSoFar().size();
        startRequest(more.back(), encodeSignRequest(keys[1].keyBlob, toBytes("data"), {}), reply);
        harness_.runUntil([&] { return askedSoFar().size() == before + 1; });
    }
    EXPECT_EQ(request(askingClient, encodeSignRequest(keys[1].keyBlob, toBytes("data"), {})),
              encodeFailure());
    EXPECT_EQ(harness_.controller->activity().entries().back().reason,
              "already 4 of its sign requests wait for you");
    for (const auto& waiting : harness_.controller->waitingApprovals())
        harness_.controller->decide(waiting.requestID, ApprovalDecision::deny);
    harness_.runUntil([&] {
        return std::all_of(waitingReplies.begin(), waitingReplies.end(),
                           [](const auto& reply) { return reply.has_value(); });
    });

    // The other key is not covered, and nobody answers.
    RelayListener::Deadlines deadlines;
    deadlines.agentExchange = shortAgentLimit;
    deadlines.approval = std::chrono::milliseconds(300);
    harness_.controller->listener()->setDeadlines(deadlines);
    std::optional<Bytes> unansweredReply;
    startWaiting(keys[1].keyBlob, unansweredReply);
    harness_.runUntil([&] { return unansweredReply.has_value(); });
    EXPECT_EQ(*unansweredReply, encodeFailure());
    const ActivityEntry unanswered = harness_.controller->activity().entries().back();
    EXPECT_EQ(unanswered.result, ActivityResult::denied);
    EXPECT_EQ(unanswered.reason, "nobody allowed it in time");
    EXPECT_TRUE(harness_.controller->waitingApprovals().empty());
    // Every prompt was taken down.
    std::size_t ended = 0;
    for (const Call& call : harness_.notices.calls()) ended += call.kind == Call::Kind::endAsk;
    EXPECT_EQ(ended, askedSoFar().size());
}

// What the activity keeps of each kind of request.
TEST_F(AgentRequestTest, TheActivityKeepsWhatEachRequestWasAndHowItEnded) {
    const SSHAgentFixture agent;
    harness_.controller->setSocketOverride(agent.socketPath());
    const PairedDeviceKeys device = pairDevice("Phone");
    RelayClient client = openPaired(device);
    const auto keys =
        decodeIdentitiesAnswer(deframe(request(client, encodeRequestIdentities()))->body);
    request(client, encodeSignRequest(keys[0].keyBlob, toBytes("data"), {}));
    request(client, frame(Bytes{19}));  // remove all keys
    harness_.controller->setSocketOverride((sockets_.path() / "none.sock").string());
    request(client, encodeRequestIdentities());

    const auto& entries = harness_.controller->activity().entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].kind, ActivityKind::listKeys);
    EXPECT_EQ(entries[0].result, ActivityResult::answered);
    EXPECT_EQ(entries[1].kind, ActivityKind::sign);
    EXPECT_EQ(entries[1].result, ActivityResult::answered);
    EXPECT_EQ(entries[1].keyFingerprint, keyFingerprint(keys[0].keyBlob));
    EXPECT_EQ(entries[1].keyComment, keys[0].comment);
    EXPECT_EQ(entries[1].purpose->description(), "sign 4 bytes of data");
    EXPECT_EQ(entries[2].kind, ActivityKind::other);
    EXPECT_EQ(entries[2].result, ActivityResult::refused);
    EXPECT_EQ(entries[2].reason, "request type 19 (remove all keys) is not relayed");
    EXPECT_EQ(entries[3].result, ActivityResult::agentFailure);
    for (const ActivityEntry& entry : entries) {
        EXPECT_EQ(entry.deviceName, "Phone");
        EXPECT_EQ(entry.deviceID, device.deviceID);
    }
    EXPECT_LT(entries[0].requestID, entries[3].requestID);
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
