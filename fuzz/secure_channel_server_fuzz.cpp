// The relay's end of the secure channel, fed by the input in one of two scenarios.
//
// Forged (first byte even): a server with the fixed PSK and a fresh ephemeral key and nonce
// receives a client hello and a client confirm taken from the input. No bytes made without
// that server's keys can be a valid confirm, so serverReceiveClientConfirm must always fail:
//   [even] [n] [client hello: n bytes] [m] [client confirm: m bytes]
//
// Genuine (first byte odd): a real client and the server, both with the fixed keys and nonces
// of the first handshake in tests/data/secure-channel.json, run the handshake while the input
// tampers with each message on its way; then they exchange messages sealed from the input's
// plaintexts, also tampered with. Each step must succeed exactly when what arrived is what was
// sent (and, for messages, when nothing was lost before in that direction):
//   [odd] [tamper client hello] [tamper server hello] [tamper client confirm]
//   then per message: [direction: bit 0, 1 = server to client] [n] [plaintext: n bytes] [tamper]
// where tamper = [e], then: if e & 32, [n] [n bytes] that replace the message; (e & 7) pairs
// [position] [xor mask]; if e & 8, [t]: cut to t % (size + 1) bytes; if e & 16, [b]: byte b
// appended.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "fuzz_support.hpp"
#include "protocol/crypto.hpp"
#include "protocol/secure_channel.hpp"
#include "tests/protocol/secure_channel_testing.hpp"

namespace {

using namespace kestrel;
using Role = SecureChannel::Role;

Bytes fromHex(std::string_view hex) {
    const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(digit(hex[i]) << 4 | digit(hex[i + 1])));
    }
    return bytes;
}

// The "bootstrap-123456" handshake of tests/data/secure-channel.json, so that its messages are
// seeds that the genuine scenario reproduces byte for byte.
const SymmetricKey& fixedPSK() {
    static const SymmetricKey psk(
        fromHex("7458c96b815cfb8cc58d93dfda8746de5e11e5a9363561ea5f7e11f39fb3de4a"));
    return psk;
}

SecureChannel fixedEnd(Role role) {
    if (role == Role::client) {
        return SecureChannelTesting::make(
            role, fixedPSK(),
            fromHex("24da648983fb2b429bb17119f4b646ed46db97a201218664d5daf1dbe88d432f"),
            fromHex("de171bb98a0c5b5bf41894f693cc19f2"));
    }
    return SecureChannelTesting::make(
        role, fixedPSK(),
        fromHex("a9131d0c1c818baeaf611f47b763c3f8365b17a60311092ee21a7f2641f89de1"),
        fromHex("004530fc75c45049bd11f9d11abf99d6"));
}

// The error a call threw, or none. Errors that are not std::system_error escape.
template <typename Call>
std::error_code errorOf(Call call) {
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

Bytes tamper(ByteView message, fuzz::InputReader& input) {
    const std::uint8_t edits = input.byte();
    const ByteView replacement = edits & 32 ? input.piece() : message;
    Bytes bytes(replacement.begin(), replacement.end());
    for (int i = 0; i < (edits & 7) && !bytes.empty(); ++i) {
        const std::size_t position = input.byte() % bytes.size();
        bytes[position] ^= input.byte();
    }
    if (edits & 8) bytes.resize(input.byte() % (bytes.size() + 1));
    if (edits & 16) bytes.push_back(input.byte());
    return bytes;
}

void forged(fuzz::InputReader& input) {
    SecureChannel server(Role::server, fixedPSK());
    const ByteView hello = input.piece();
    fuzz::require(errorOf([&] { server.open(hello); }) == SecureChannelError::notEstablished &&
                      errorOf([&] { server.seal(hello); }) == SecureChannelError::notEstablished,
                  "a channel without keys sealed or opened");
    Bytes serverHello;
    const std::error_code helloError =
        errorOf([&] { serverHello = server.serverReceiveClientHello(hello); });
    if (hello.size() != SecureChannel::clientHelloLength) {
        fuzz::require(helloError == SecureChannelError::badHandshakeLength,
                      "a client hello of the wrong length was not refused as such");
    } else if (helloError) {
        fuzz::require(helloError == CryptoError::keyAgreementFailed,
                      "a 48-byte client hello failed other than by key agreement");
    } else {
        fuzz::require(serverHello.size() == SecureChannel::serverHelloLength,
                      "server hello of the wrong length");
    }

    const ByteView confirm = input.piece();
    const std::error_code confirmError =
        errorOf([&] { server.serverReceiveClientConfirm(confirm); });
    fuzz::require(static_cast<bool>(confirmError),
                  "the server accepted a client confirm made without its keys");
    fuzz::require(confirmError == (helloError ? SecureChannelError::notEstablished
                                              : SecureChannelError::confirmRejected),
                  "a forged client confirm failed with the wrong error");
}

// Messages both ways over an established pair; a tampered message puts its direction out of
// step for good, as the receiver's counter stays behind the sender's.
void exchangeMessages(SecureChannel& client, SecureChannel& server, fuzz::InputReader& input) {
    bool outOfStep[2] = {false, false};
    while (!input.empty()) {
        const bool toClient = input.byte() & 1;
        SecureChannel& sender = toClient ? server : client;
        SecureChannel& receiver = toClient ? client : server;
        const ByteView plaintext = input.piece();
        const Bytes sealed = sender.seal(plaintext);
        fuzz::require(sealed.size() == plaintext.size() + SecureChannel::tagLength,
                      "sealed message of the wrong length");
        const Bytes sent = tamper(sealed, input);
        bool& lost = outOfStep[toClient];
        lost = lost || sent != sealed;

        const std::uint64_t counter = receiver.receiveCounter();
        Bytes opened;
        const std::error_code error = errorOf([&] { opened = receiver.open(sent); });
        if (error) {
            fuzz::require(lost, "a genuine message in step did not open");
            fuzz::require(error == (sent.size() < SecureChannel::tagLength
                                        ? std::error_code(SecureChannelError::badHandshakeLength)
                                        : std::error_code(CryptoError::authenticationFailed)),
                          "a bad message failed with the wrong error");
            fuzz::require(receiver.receiveCounter() == counter, "a failed open moved the counter");
        } else {
            fuzz::require(!lost, "a tampered or out-of-step message opened");
            fuzz::require(Bytes(plaintext.begin(), plaintext.end()) == opened,
                          "a message opened to other bytes");
            fuzz::require(receiver.receiveCounter() == sender.sendCounter(), "counters diverged");
        }
    }
}

void genuine(fuzz::InputReader& input) {
    SecureChannel client = fixedEnd(Role::client);
    SecureChannel server = fixedEnd(Role::server);

    const Bytes hello = client.clientHello();
    const Bytes helloSent = tamper(hello, input);
    Bytes serverHello;
    const std::error_code helloError =
        errorOf([&] { serverHello = server.serverReceiveClientHello(helloSent); });
    if (helloError) {
        fuzz::require(helloSent != hello, "the server refused a genuine client hello");
        fuzz::require(helloError == SecureChannelError::badHandshakeLength ||
                          helloError == CryptoError::keyAgreementFailed,
                      "a tampered client hello failed with an unexpected error");
        return;
    }

    const Bytes serverHelloSent = tamper(serverHello, input);
    Bytes confirm;
    const std::error_code clientError =
        errorOf([&] { confirm = client.clientReceiveServerHello(serverHelloSent); });
    const bool hellosIntact = helloSent == hello && serverHelloSent == serverHello;
    if (clientError) {
        fuzz::require(!hellosIntact, "the client refused a genuine server hello");
        fuzz::require(clientError == SecureChannelError::badHandshakeLength ||
                          clientError == SecureChannelError::confirmRejected ||
                          clientError == CryptoError::keyAgreementFailed,
                      "the client failed with an unexpected error");
        return;
    }
    fuzz::require(hellosIntact, "the client accepted a tampered handshake");

    const Bytes confirmSent = tamper(confirm, input);
    const std::error_code confirmError =
        errorOf([&] { server.serverReceiveClientConfirm(confirmSent); });
    if (confirmError) {
        fuzz::require(confirmSent != confirm, "the server refused the genuine client confirm");
        fuzz::require(confirmError == SecureChannelError::confirmRejected,
                      "a tampered client confirm failed with the wrong error");
        return;
    }
    fuzz::require(confirmSent == confirm, "the server accepted a tampered client confirm");
    fuzz::require(client.isEstablished() && server.isEstablished(), "handshake left keys absent");
    exchangeMessages(client, server, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(ByteView(data, size));
    if (input.byte() & 1) {
        genuine(input);
    } else {
        forged(input);
    }
    return 0;
}
