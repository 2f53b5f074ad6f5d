#pragma once

// One end of the relay's secure channel: a handshake that proves both ends hold the same
// pre-shared key and agrees fresh keys by ephemeral X25519, then ChaCha20-Poly1305 messages
// under per-direction keys and counters. No I/O: handshake messages go in and out as bytes and
// the caller frames each one.
//
//   client hello   (c->s, 48 bytes)  client public key | client nonce
//   server hello   (s->c, 78 bytes)  server public key | server nonce | sealed "server-confirm"
//   client confirm (c->s, 30 bytes)  sealed "client-confirm"
//
// keys = HKDF-SHA256(psk | X25519 secret, salt = client nonce | server nonce,
//                    info = "tidewell-relay1 c2s" / "tidewell-relay1 s2c", 32 bytes)
// Both confirms are sealed with counter 0 and the 96-byte transcript (client hello | first 48
// bytes of the server hello) as additional data; application messages start at counter 1.
//
// Not thread-safe, and not copyable: a copy would seal with the same key and counter, repeating
// a nonce. One channel per connection, used by one task at a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <system_error>

#include "protocol/bytes.hpp"
#include "protocol/crypto.hpp"

namespace kestrel {

enum class SecureChannelError {
    badHandshakeLength = 1,
    confirmRejected,
    notEstablished,
    counterOverflow,
};

const std::error_category& secureChannelCategory() noexcept;
std::error_code make_error_code(SecureChannelError error) noexcept;

class SecureChannel {
public:
    enum class Role { client, server };

    static constexpr std::size_t publicKeyLength = 32;
    static constexpr std::size_t nonceLength = 16;
    static constexpr std::size_t keyLength = 32;
    static constexpr std::size_t tagLength = 16;
    static constexpr std::size_t clientHelloLength = publicKeyLength + nonceLength;
    static constexpr std::size_t serverHelloLength = clientHelloLength + 14 + tagLength;
    static constexpr std::size_t clientConfirmLength = 14 + tagLength;

    // Generates this end's ephemeral key. randomNonce, when given, becomes the local nonce
    // unchanged (the protocol needs 16 bytes); otherwise 16 fresh random bytes are used.
    SecureChannel(Role role, SymmetricKey psk, std::optional<Bytes> randomNonce = std::nullopt);

    SecureChannel(SecureChannel&&) noexcept = default;
    SecureChannel& operator=(SecureChannel&&) noexcept = default;
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Client side.
    Bytes clientHello();
    Bytes clientReceiveServerHello(ByteView serverHello);

    // Server side.
    Bytes serverReceiveClientHello(ByteView clientHello);
    void serverReceiveClientConfirm(ByteView clientConfirm);

    // Either side, once established. A failed call leaves its counter unchanged.
    Bytes seal(ByteView plaintext);
    Bytes open(ByteView message);

    bool isEstablished() const noexcept { return sendKey_.has_value() && receiveKey_.has_value(); }
    Role role() const noexcept { return role_; }
    std::uint64_t sendCounter() const noexcept { return sendCounter_; }
    std::uint64_t receiveCounter() const noexcept { return receiveCounter_; }
    const std::optional<SymmetricKey>& sendKey() const noexcept { return sendKey_; }
    const std::optional<SymmetricKey>& receiveKey() const noexcept { return receiveKey_; }
    const Bytes& transcript() const noexcept { return transcript_; }

    // The 12-byte ChaCha20-Poly1305 nonce of a message counter: four zero bytes, then the
    // counter big-endian.
    static Bytes messageNonce(std::uint64_t counter);

private:
    // Known-answer tests build a channel with a fixed ephemeral key through this friend;
    // production code always generates the key.
    friend class SecureChannelTesting;

    SecureChannel(Role role, SymmetricKey psk, X25519PrivateKey ephemeral,
                  std::optional<Bytes> randomNonce);

    struct SessionKeys {
        SymmetricKey clientToServer;
        SymmetricKey serverToClient;
    };
    SessionKeys deriveKeys(ByteView peerPublicKey, ByteView clientNonce,
                           ByteView serverNonce) const;
    void requireRole(Role expected, const char* operation) const;

    Role role_;
    std::optional<SymmetricKey> sendKey_;
    std::optional<SymmetricKey> receiveKey_;
    std::uint64_t sendCounter_ = 0;
    std::uint64_t receiveCounter_ = 0;
    SymmetricKey psk_;
    X25519PrivateKey ephemeral_;
    Bytes localNonce_;
    Bytes transcript_;
};

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::SecureChannelError> : std::true_type {};
