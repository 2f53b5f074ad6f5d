#include "protocol/secure_channel.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "secure_channel_testing.hpp"
#include "support/error_of.hpp"
#include "test_support.hpp"

namespace kestrel {
namespace {

using Role = SecureChannel::Role;
using testing::errorOf;
using testing::fromHex;
using testing::toHex;

struct Ends {
    SecureChannel client;
    SecureChannel server;
};

// Runs the three handshake messages between two fresh ends.
void handshake(Ends& ends) {
    const Bytes serverHello = ends.server.serverReceiveClientHello(ends.client.clientHello());
    ends.server.serverReceiveClientConfirm(ends.client.clientReceiveServerHello(serverHello));
}

Ends establishedEnds() {
    const SymmetricKey psk = SymmetricKey::random(32);
    Ends ends{SecureChannel(Role::client, psk), SecureChannel(Role::server, psk)};
    handshake(ends);
    return ends;
}

SecureChannel vectorEnd(const nlohmann::json& vector, Role role) {
    const char* prefix = role == Role::client ? "client" : "server";
    return SecureChannelTesting::make(
        role, SymmetricKey(fromHex(vector["psk"].get<std::string>())),
        fromHex(vector[std::string(prefix) + "EphemeralPrivateKey"].get<std::string>()),
        fromHex(vector[std::string(prefix) + "Nonce"].get<std::string>()));
}

TEST(SecureChannel, MessageNonceVectors) {
    const auto vectors = testing::loadTestData("secure-channel.json");
    for (const auto& [counter, nonce] : vectors["messageNonce"].items()) {
        EXPECT_EQ(toHex(SecureChannel::messageNonce(std::stoull(counter))),
                  nonce.get<std::string>());
    }
}

// Both roles reproduce every byte of handshakes computed by an independent implementation, and
// open what the other sealed.
TEST(SecureChannel, ReproducesKnownHandshakesInBothRoles) {
    const auto vectors = testing::loadTestData("secure-channel.json");
    for (const auto& vector : vectors["handshakes"]) {
        SCOPED_TRACE(vector["name"].get<std::string>());
        SecureChannel client = vectorEnd(vector, Role::client);
        SecureChannel server = vectorEnd(vector, Role::server);

        const Bytes clientHello = client.clientHello();
        EXPECT_EQ(toHex(clientHello), vector["clientHello"]);
        const Bytes serverHello = server.serverReceiveClientHello(clientHello);
        EXPECT_EQ(toHex(serverHello), vector["serverHello"]);
        const Bytes clientConfirm = client.clientReceiveServerHello(serverHello);
        EXPECT_EQ(toHex(clientConfirm), vector["clientConfirm"]);
        server.serverReceiveClientConfirm(clientConfirm);

        ASSERT_TRUE(client.isEstablished() && server.isEstablished());
        EXPECT_EQ(toHex(client.sendKey()->bytes()), vector["keyClientToServer"]);
        EXPECT_EQ(toHex(server.receiveKey()->bytes()), vector["keyClientToServer"]);
        EXPECT_EQ(toHex(server.sendKey()->bytes()), vector["keyServerToClient"]);
        EXPECT_EQ(toHex(client.receiveKey()->bytes()), vector["keyServerToClient"]);

        auto exchange = [](SecureChannel& from, SecureChannel& to, const nlohmann::json& messages) {
            for (const auto& message : messages) {
                EXPECT_EQ(from.sendCounter(), message["counter"].get<std::uint64_t>());
                const Bytes plaintext = fromHex(message["plaintext"].get<std::string>());
                const Bytes sealed = from.seal(plaintext);
                EXPECT_EQ(toHex(sealed), message["sealed"]);
                EXPECT_EQ(to.open(sealed), plaintext);
            }
        };
        exchange(client, server, vector["clientSealed"]);
        exchange(server, client, vector["serverSealed"]);
    }
}

TEST(SecureChannel, FreshEndsAgreeAndCountersStartAtOne) {
    Ends ends = establishedEnds();
    EXPECT_EQ(ends.client.sendKey(), ends.server.receiveKey());
    EXPECT_EQ(ends.client.receiveKey(), ends.server.sendKey());
    for (const SecureChannel* end : {&ends.client, &ends.server}) {
        EXPECT_EQ(end->sendCounter(), 1u);
        EXPECT_EQ(end->receiveCounter(), 1u);
    }
    EXPECT_EQ(ends.server.open(ends.client.seal(Bytes{1, 2})), (Bytes{1, 2}));
    EXPECT_EQ(ends.client.open(ends.server.seal(Bytes{})), Bytes{});
}

TEST(SecureChannel, MessageSizesAreFixedAndSuppliedNonceIsUsed) {
    const Bytes nonce(16, 0xA5);
    SecureChannel client(Role::client, SymmetricKey(Bytes(32, 1)), nonce);
    SecureChannel server(Role::server, SymmetricKey(Bytes(32, 1)));
    const Bytes hello = client.clientHello();
    ASSERT_EQ(hello.size(), SecureChannel::clientHelloLength);
    EXPECT_EQ(Bytes(hello.end() - 16, hello.end()), nonce);
    const Bytes serverHello = server.serverReceiveClientHello(hello);
    EXPECT_EQ(serverHello.size(), 78u);
    EXPECT_EQ(server.transcript().size(), 96u);
    const Bytes confirm = client.clientReceiveServerHello(serverHello);
    EXPECT_EQ(confirm.size(), 30u);
    server.serverReceiveClientConfirm(confirm);
    EXPECT_EQ(client.seal({}).size(), 16u);
}

TEST(SecureChannel, DifferentKeysShowOnlyAtTheConfirms) {
    SecureChannel client(Role::client, SymmetricKey(Bytes(32, 1)));
    SecureChannel server(Role::server, SymmetricKey(Bytes(32, 2)));
    const Bytes serverHello = server.serverReceiveClientHello(client.clientHello());
    EXPECT_EQ(errorOf([&] { client.clientReceiveServerHello(serverHello); }),
              SecureChannelError::confirmRejected);

    // A client confirm made under another key, for this very transcript.
    SecureChannel liar(Role::client, SymmetricKey(Bytes(32, 3)));
    SecureChannel liarServer(Role::server, SymmetricKey(Bytes(32, 3)));
    SecureChannel victim(Role::server, SymmetricKey(Bytes(32, 4)));
    const Bytes liarHello = liar.clientHello();
    victim.serverReceiveClientHello(liarHello);
    const Bytes liarConfirm =
        liar.clientReceiveServerHello(liarServer.serverReceiveClientHello(liarHello));
    EXPECT_EQ(errorOf([&] { victim.serverReceiveClientConfirm(liarConfirm); }),
              SecureChannelError::confirmRejected);
}

TEST(SecureChannel, HandshakeLengthsAreChecked) {
    const SymmetricKey psk(Bytes(32, 7));
    for (std::size_t length : {0, 47, 49, 78}) {
        SecureChannel server(Role::server, psk);
        EXPECT_EQ(errorOf([&] { server.serverReceiveClientHello(Bytes(length, 9)); }),
                  SecureChannelError::badHandshakeLength)
            << length;
    }
    SecureChannel server(Role::server, psk);
    const Bytes serverHello = [&] {
        SecureChannel client(Role::client, psk);
        return server.serverReceiveClientHello(client.clientHello());
    }();
    for (std::size_t length = 0; length < 64; ++length) {
        SecureChannel client(Role::client, psk);
        client.clientHello();
        const Bytes shortened(serverHello.begin(),
                              serverHello.begin() + static_cast<std::ptrdiff_t>(length));
        const auto expected = length < 49 ? SecureChannelError::badHandshakeLength
                                          : SecureChannelError::confirmRejected;
        EXPECT_EQ(errorOf([&] { client.clientReceiveServerHello(shortened); }), expected) << length;
    }
    for (std::size_t length : {0, 15, 16, 29, 31}) {
        SecureChannel fresh(Role::server, psk);
        SecureChannel client(Role::client, psk);
        fresh.serverReceiveClientHello(client.clientHello());
        EXPECT_EQ(errorOf([&] { fresh.serverReceiveClientConfirm(Bytes(length, 0)); }),
                  SecureChannelError::confirmRejected)
            << length;
    }
}

TEST(SecureChannel, AnyBitFlipInTheServerHelloKeysIsRejected) {
    const auto vector = testing::loadTestData("secure-channel.json")["handshakes"][0];
    const Bytes serverHello = fromHex(vector["serverHello"].get<std::string>());
    for (std::size_t bit = 0; bit < 48 * 8; ++bit) {
        SecureChannel client = vectorEnd(vector, Role::client);
        client.clientHello();
        Bytes flipped = serverHello;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        const std::error_code error = errorOf([&] { client.clientReceiveServerHello(flipped); });
        EXPECT_TRUE(error == SecureChannelError::confirmRejected ||
                    error.category() == cryptoCategory())
            << "bit " << bit << ": " << error.message();
    }
}

TEST(SecureChannel, LowOrderPeerKeyIsACryptoErrorNotAZeroKey) {
    SecureChannel server(Role::server, SymmetricKey(Bytes(32, 7)));
    EXPECT_EQ(errorOf([&] { server.serverReceiveClientHello(Bytes(48, 0)); }),
              CryptoError::keyAgreementFailed);
    EXPECT_FALSE(server.sendKey().has_value());
}

TEST(SecureChannel, NothingWorksBeforeTheKeysExist) {
    SecureChannel server(Role::server, SymmetricKey(Bytes(32, 7)));
    EXPECT_EQ(errorOf([&] { server.seal({}); }), SecureChannelError::notEstablished);
    EXPECT_EQ(errorOf([&] { server.open(Bytes(16, 0)); }), SecureChannelError::notEstablished);
    EXPECT_EQ(errorOf([&] { server.serverReceiveClientConfirm(Bytes(30, 0)); }),
              SecureChannelError::notEstablished);
}

TEST(SecureChannel, MessagesMustArriveInOrderAndIntact) {
    Ends ends = establishedEnds();
    const Bytes first = ends.client.seal(Bytes{1});
    const Bytes second = ends.client.seal(Bytes{2});
    EXPECT_EQ(errorOf([&] { ends.server.open(second); }), CryptoError::authenticationFailed);
    EXPECT_EQ(ends.server.receiveCounter(), 1u);

    Bytes tampered = first;
    tampered.back() ^= 1;
    EXPECT_EQ(errorOf([&] { ends.server.open(tampered); }), CryptoError::authenticationFailed);
    EXPECT_EQ(ends.server.receiveCounter(), 1u);
    EXPECT_EQ(errorOf([&] { ends.server.open(Bytes(15, 0)); }),
              SecureChannelError::badHandshakeLength);

    EXPECT_EQ(ends.server.open(first), Bytes{1});
    EXPECT_EQ(ends.server.open(second), Bytes{2});
    EXPECT_EQ(errorOf([&] { ends.server.open(second); }), CryptoError::authenticationFailed);
}

TEST(SecureChannel, TheLastCounterValueIsNeverUsed) {
    constexpr auto last = std::numeric_limits<std::uint64_t>::max();
    Ends ends = establishedEnds();
    SecureChannelTesting::setSendCounter(ends.client, last - 1);
    SecureChannelTesting::setReceiveCounter(ends.server, last - 1);
    const Bytes sealed = ends.client.seal(Bytes{1});
    EXPECT_EQ(ends.server.open(sealed), Bytes{1});
    EXPECT_EQ(errorOf([&] { ends.client.seal(Bytes{1}); }), SecureChannelError::counterOverflow);
    EXPECT_EQ(errorOf([&] { ends.server.open(sealed); }), SecureChannelError::counterOverflow);
    EXPECT_EQ(ends.client.sendCounter(), last);
}

TEST(SecureChannelDeathTest, OperationsOfTheOtherRoleStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SecureChannel server(Role::server, SymmetricKey(Bytes(32, 7)));
    EXPECT_DEATH(server.clientHello(), "other role");
    SecureChannel client(Role::client, SymmetricKey(Bytes(32, 7)));
    EXPECT_DEATH(client.serverReceiveClientHello(Bytes(48, 1)), "other role");
}

}  // namespace
}  // namespace kestrel
