// A device on the network that wants the pairing code: the server hello of a pairing handshake
// is sealed under a key derived from the code, so whoever receives one can test guesses of the
// code offline. A code therefore allows one handshake, with a short deadline for its confirm.

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <thread>

#include "protocol/pairing.hpp"
#include "protocol/secure_channel_testing.hpp"
#include "relay_harness.hpp"

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
}

}  // namespace
}  // namespace kestrel::testing
