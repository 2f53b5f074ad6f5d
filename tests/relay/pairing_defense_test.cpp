// A device on the network that wants the pairing code: the server hello of a pairing handshake
// is sealed under a key derived from the code, so whoever receives one can test guesses of the
// code offline. A code therefore allows one handshake, with a short deadline for its confirm; and
// since a fast enough search still wins, a device that pairs with suspicious pairing-mode
// connections around it is held until the user approves it.

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <thread>

#include "platform/file_secret_store.hpp"
#include "platform/file_settings_store.hpp"
#include "protocol/pairing.hpp"
#include "protocol/secure_channel_testing.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay_harness.hpp"
#include "support/child_process.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel::testing {
namespace {

// The attacker's fixed ephemeral key and nonce, so that its guesses can replay the handshake.
const Bytes attackerKey(32, 0x42);
const Bytes attackerNonce(16, 0x17);

SecureChannel attackerChannel(const std::string& guess) {
    return SecureChannelTesting::make(SecureChannel::Role::client, Pairing::bootstrapPSK(guess),
                                      attackerKey, attackerNonce);
}

// Tries each guess against a captured server hello, as an attacker would offline; returns the
// guess whose key makes the server hello verify.
std::optional<std::string> searchCode(const Bytes& serverHello,
                                      const std::vector<std::string>& guesses) {
    for (const std::string& guess : guesses) {
        SecureChannel channel = attackerChannel(guess);
        channel.clientHello();
        try {
            channel.clientReceiveServerHello(serverHello);
            return guess;
        } catch (const std::system_error&) {
        }
    }
    return std::nullopt;
}

// A stretch of codes around the real one: the test cannot afford all million (see bench/ for
// the full search), and what matters is what the relay does once the code is known.
std::vector<std::string> guessesAround(const std::string& code) {
    std::vector<std::string> guesses;
    const int center = std::stoi(code);
    for (int value = std::max(0, center - 200); value <= std::min(999999, center + 200); ++value) {
        guesses.push_back(
            Pairing::generateCode([value] { return static_cast<std::uint32_t>(value); }));
    }
    return guesses;
}

class PairingDefenseTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness_.startRelay();
        RelayListener::Deadlines deadlines;
        deadlines.pairingConfirm = std::chrono::milliseconds(300);
        harness_.controller->listener()->setDeadlines(deadlines);
        harness_.controller->startPairing();
        code_ = *harness_.controller->pairingCode();
    }

    // Connects in pairing mode with the attacker's hello and returns the server hello.
    asio::awaitable<Bytes> takeServerHello(RelayConnectionIO& io) {
        co_await io.send(
            ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Mallory").serialized());
        SecureChannel channel = attackerChannel("");
        co_await io.send(channel.clientHello());
        co_return co_await io.receive();
    }

    void expectCodeUsedUp() {
        harness_.runUntil([&] { return !harness_.controller->pairingCode(); });
        ASSERT_TRUE(harness_.lastPairingEnded());
        EXPECT_EQ(harness_.lastPairingEnded()->result, PairingResult::failed);
        EXPECT_EQ(harness_.lastPairingEnded()->message, RelayController::codeUsedUpMessage);
        EXPECT_THROW(harness_.run(harness_.pair(code_, "Mallory")), std::system_error);
        EXPECT_TRUE(harness_.controller->store().metadata().empty());
    }

    RelayHarness harness_;
    std::string code_;
};

TEST_F(PairingDefenseTest, AFoundCodeIsUselessAfterDisconnecting) {
    const auto capture = [&]() -> asio::awaitable<Bytes> {
        asio::ip::tcp::socket socket = co_await harness_.connect();
        RelayConnectionIO io(socket);
        co_return co_await takeServerHello(io);
    };
    const Bytes serverHello = harness_.run(capture());
    EXPECT_EQ(searchCode(serverHello, guessesAround(code_)), code_);
    // The relay's loop has not run since the disconnect; letting its confirm deadline pass too
    // makes it see both at once, with the session ending while its deadline is already queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    expectCodeUsedUp();
}

TEST_F(PairingDefenseTest, AFoundCodeIsUselessOnTheSameConnectionPastTheDeadline) {
    const auto attack = [&]() -> asio::awaitable<void> {
        asio::ip::tcp::socket socket = co_await harness_.connect();
        RelayConnectionIO io(socket);
        const Bytes serverHello = co_await takeServerHello(io);
        const auto found = searchCode(serverHello, guessesAround(code_));
        // However fast the search, a confirm made from it is checked only if it beats the
        // deadline; this attacker is slower than the deadline.
        asio::steady_timer slower(socket.get_executor(), std::chrono::milliseconds(400));
        co_await slower.async_wait(asio::use_awaitable);
        SecureChannel channel = attackerChannel(found.value());
        channel.clientHello();
        try {
            co_await io.send(channel.clientReceiveServerHello(serverHello));
            co_await io.receive();
        } catch (const std::system_error&) {
        }
    };
    harness_.run(attack());
    expectCodeUsedUp();
}

TEST_F(PairingDefenseTest, OneHandshakePerCode) {
    // While one pairing handshake waits for its confirm, nobody else gets a server hello.
    const auto holdAndRace = [&]() -> asio::awaitable<bool> {
        asio::ip::tcp::socket holder = co_await harness_.connect();
        RelayConnectionIO io(holder);
        co_await takeServerHello(io);
        try {
            co_await harness_.pair(code_, "Second");
        } catch (const std::system_error&) {
            co_return true;
        }
        co_return false;
    };
    EXPECT_TRUE(harness_.run(holdAndRace()));
    expectCodeUsedUp();
}

TEST_F(PairingDefenseTest, AWrongConfirmOrAGivenUpHandshakeUsesTheCodeUp) {
    EXPECT_THROW(harness_.run(harness_.pair(code_ == "111111" ? "222222" : "111111", "Typo")),
                 std::system_error);
    expectCodeUsedUp();

    harness_.controller->startPairing();
    code_ = *harness_.controller->pairingCode();
    const auto wrongConfirm = [&]() -> asio::awaitable<void> {
        asio::ip::tcp::socket socket = co_await harness_.connect();
        RelayConnectionIO io(socket);
        co_await takeServerHello(io);
        co_await io.send(Bytes(SecureChannel::clientConfirmLength, 0xA5));
        try {
            co_await io.receive();
        } catch (const std::system_error&) {
        }
    };
    harness_.run(wrongConfirm());
    expectCodeUsedUp();
}

TEST_F(PairingDefenseTest, AnHonestClientPairsWithinTheDeadlineAndTheUserIsTold) {
    const PairingGrant grant = harness_.run(harness_.pair(code_, "Phone\u202Egnp.exe\n"));
    harness_.runUntil([&] { return !harness_.controller->pairingCode(); });
    const auto ended = harness_.controller->lastPairing();
    ASSERT_TRUE(ended && ended->device);
    EXPECT_EQ(ended->result, PairingResult::paired);
    EXPECT_EQ(ended->device->deviceID, grant.deviceID);
    EXPECT_EQ(ended->device->displayName, "Phonegnp.exe")
        << "control and override characters removed";
    EXPECT_FALSE(ended->device->held) << "nothing else asked for pairing";
    EXPECT_FALSE(harness_.controller->store().isHeld(grant.deviceID));
}

std::vector<std::string> descriptions(const DeviceMetadata& device) {
    std::vector<std::string> lines;
    for (const PairingEvidence& evidence : device.evidence)
        lines.push_back(evidence.description(device.displayName));
    return lines;
}

DeviceMetadata storedDevice(RelayHarness& harness, const UUID& deviceID) {
    for (const DeviceMetadata& device : harness.controller->store().metadata()) {
        if (device.deviceID == deviceID) return device;
    }
    throw std::runtime_error("device not stored");
}

// The attack as it was run against the relay: poll in pairing mode until a code opens, win the
// handshake (here with the code itself; the search is timed in bench/), then use the agent.
TEST(PairingHoldTest, APollingAttackerIsHeldUntilApprovedAcrossRestarts) {
    const SSHAgentFixture agent;
    const TemporaryDirectory state;
    const auto settingsPath = (state.path() / "settings.json").string();
    const auto secretsPath = (state.path() / "secrets.json").string();
    const auto listKeys = [&](RelayHarness& relay, const PairingGrant& grant) {
        RelayClient client = relay.run(relay.openPaired(grant.deviceID, grant.pskData));
        return relay.run(client.agentRequest(SSHAgentProtocol::encodeRequestIdentities()));
    };
    const auto withRelay = [&](const auto& body) {
        FileSettingsStore settings(settingsPath);
        FileSecretStore secrets(secretsPath);
        RelayHarness relay;
        relay.settings = &settings;
        relay.secrets = &secrets;
        relay.startRelay();
        relay.controller->setSocketOverride(agent.socketPath());
        body(relay);
    };

    std::optional<PairingGrant> stolen;
    withRelay([&](RelayHarness& relay) {
        relay.run(relay.probePairing("127.0.0.2"));
        relay.run(relay.probePairing("127.0.0.2"));
        relay.controller->startPairing();
        stolen = relay.run(relay.pair(*relay.controller->pairingCode(), "Pixel 8", "127.0.0.2"));
        relay.runUntil([&] { return !relay.controller->pairingCode(); });

        const auto ended = relay.lastPairingEnded();
        ASSERT_TRUE(ended && ended->device);
        EXPECT_EQ(ended->result, PairingResult::paired) << "the wire exchange completes as usual";
        EXPECT_TRUE(ended->device->held);
        EXPECT_EQ(descriptions(*ended->device),
                  std::vector<std::string>{
                      "2 pairing attempts from 127.0.0.2 before this code was shown"});

        RelayClient client = relay.run(relay.openPaired(stolen->deviceID, stolen->pskData));
        const Bytes failure = SSHAgentProtocol::encodeFailure();
        EXPECT_EQ(relay.run(client.agentRequest(SSHAgentProtocol::encodeRequestIdentities())),
                  failure);
        const Bytes sign = SSHAgentProtocol::encodeSignRequest(Bytes(51, 1), toBytes("data"), {});
        EXPECT_EQ(relay.run(client.agentRequest(sign)), failure);
        EXPECT_TRUE(relay.notices.calls().empty()) << "nothing was sent to the agent";
    });
    withRelay([&](RelayHarness& relay) {
        EXPECT_TRUE(storedDevice(relay, stolen->deviceID).held) << "held after a restart too";
        EXPECT_EQ(listKeys(relay, *stolen), SSHAgentProtocol::encodeFailure());
        EXPECT_TRUE(relay.controller->approve(stolen->deviceID));
        const Bytes answer = listKeys(relay, *stolen);
        EXPECT_EQ(SSHAgentProtocol::decodeIdentitiesAnswer(SSHAgentProtocol::deframe(answer)->body)
                      .size(),
                  1u);
    });
    withRelay([&](RelayHarness& relay) {
        const DeviceMetadata device = storedDevice(relay, stolen->deviceID);
        EXPECT_FALSE(device.held) << "approval is stored";
        EXPECT_TRUE(device.evidence.empty());
        EXPECT_NE(listKeys(relay, *stolen), SSHAgentProtocol::encodeFailure());
    });
}

TEST(PairingHoldTest, AnotherAddressAskingWhileTheCodeIsOpenHoldsTheClaimant) {
    RelayHarness relay;
    relay.startRelay();
    relay.controller->startPairing();
    relay.run(relay.probePairing("127.0.0.3"));
    relay.run(relay.probePairing("127.0.0.1"));  // the claimant's own address does not count
    const PairingGrant grant = relay.run(relay.pair(*relay.controller->pairingCode(), "Phone"));
    relay.runUntil([&] { return !relay.controller->pairingCode(); });
    const DeviceMetadata device = storedDevice(relay, grant.deviceID);
    EXPECT_TRUE(device.held);
    EXPECT_EQ(
        descriptions(device),
        std::vector<std::string>{"1 pairing attempt from 127.0.0.3 while this code was open"});
}

TEST(PairingHoldTest, ATryAfterUseHoldsTheDeviceThatUsedTheCodeUnlessItIsInUse) {
    // Not yet used: the user's own device, typing the code after the attacker used it, holds
    // the attacker. Already connected: reported, not cut off (it may be serving the user).
    for (const bool connected : {false, true}) {
        RelayHarness relay;
        relay.startRelay();
        std::vector<PairingSuspicion> suspicions;
        relay.controller->addObserver([&](const RelayEvent& event) {
            if (const auto* suspicion = std::get_if<PairingSuspicion>(&event))
                suspicions.push_back(*suspicion);
        });
        relay.controller->startPairing();
        const std::string code = *relay.controller->pairingCode();
        const PairingGrant grant = relay.run(relay.pair(code, "Pixel 8"));
        relay.runUntil([&] { return !relay.controller->pairingCode(); });
        ASSERT_FALSE(relay.controller->store().isHeld(grant.deviceID));
        if (connected) relay.run(relay.openPaired(grant.deviceID, grant.pskData));

        EXPECT_THROW(relay.run(relay.pair(code, "Phone", "127.0.0.4")), std::system_error);
        relay.run(relay.probePairing("127.0.0.4"));  // told once per address
        EXPECT_EQ(relay.controller->store().isHeld(grant.deviceID), !connected);
        ASSERT_EQ(suspicions.size(), 1u);
        EXPECT_EQ(suspicions[0].held, !connected);
        EXPECT_EQ(descriptions(storedDevice(relay, grant.deviceID)),
                  std::vector<std::string>{
                      "another device (127.0.0.4) tried this code after \u201CPixel 8\u201D used "
                      "it; if \u201CPixel 8\u201D is not yours, revoke it"});
    }
}

// The client end of a pairing that stops after the grant, so a test can decide when (and
// whether) the acknowledgement goes out.
asio::awaitable<RelayClient> claimAndTakeGrant(RelayHarness& relay, std::string code) {
    const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, "Mallory");
    RelayClient client =
        co_await RelayClient::open(co_await relay.connect(asio::ip::make_address_v4("127.0.0.6")),
                                   preamble, Pairing::bootstrapPSK(code));
    co_await client.receiveEnvelope();
    co_return client;
}

asio::awaitable<void> acknowledge(RelayClient& client) {
    co_await client.sendEnvelope(RelayEnvelope(RelayMessageType::pairingAck, {}, 1));
    try {
        co_await client.receiveEnvelope();  // the relay closes the connection when it is done
    } catch (const std::system_error&) {
    }
}

TEST(PairingClaimTest, ACancelledOrReplacedCodeStoresNothingForALateAcknowledgement) {
    for (const bool replace : {false, true}) {
        RelayHarness relay;
        relay.startRelay();
        relay.controller->startPairing();
        const std::string code = *relay.controller->pairingCode();
        RelayClient client = relay.run(claimAndTakeGrant(relay, code));
        if (replace)
            relay.controller->startPairing();
        else
            relay.controller->cancelPairing();
        const auto ended = relay.lastPairingEnded();
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->result, PairingResult::cancelled);
        EXPECT_EQ(ended->code, code);

        relay.run(acknowledge(client));
        relay.drain();
        EXPECT_TRUE(relay.controller->store().metadata().empty()) << "replace " << replace;
        EXPECT_EQ(relay.lastPairingEnded()->result, PairingResult::cancelled)
            << "the completion is not reported to anyone";
        EXPECT_EQ(relay.controller->pairingCode().has_value(), replace)
            << "a new code stays open, showing";
    }
}

TEST(PairingClaimTest, AnAcknowledgementThatNeverComesEndsTheClaim) {
    RelayHarness relay;
    relay.startRelay();
    RelayListener::Deadlines deadlines;
    deadlines.grantAcknowledgement = std::chrono::milliseconds(200);
    relay.controller->listener()->setDeadlines(deadlines);
    relay.controller->startPairing();
    RelayClient client = relay.run(claimAndTakeGrant(relay, *relay.controller->pairingCode()));
    relay.runUntil([&] { return !relay.controller->pairingCode(); });
    EXPECT_EQ(relay.lastPairingEnded()->result, PairingResult::failed);
    relay.run(acknowledge(client));
    relay.drain();
    EXPECT_TRUE(relay.controller->store().metadata().empty());
}

TEST(PairingClaimTest, AWindowThatExpiresDuringItsHandshakeEndsWithItsDevice) {
    RelayHarness relay;
    relay.startRelay();
    relay.controller->startPairing(0.3);
    RelayClient client = relay.run(claimAndTakeGrant(relay, *relay.controller->pairingCode()));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    relay.drain();
    EXPECT_TRUE(relay.controller->pairingCode()) << "kept for the handshake under way";
    EXPECT_FALSE(relay.controller->activePairingCode()) << "but no longer offered";
    relay.run(acknowledge(client));
    relay.runUntil([&] { return !relay.controller->pairingCode(); });
    EXPECT_EQ(relay.lastPairingEnded()->result, PairingResult::paired);
    EXPECT_EQ(relay.controller->store().metadata().size(), 1u);
}

}  // namespace
}  // namespace kestrel::testing
