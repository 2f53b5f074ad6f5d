#pragma once

// Small RAII wrappers over OpenSSL 3 libcrypto: X25519 (RFC 7748), HKDF-SHA256 (RFC 5869),
// ChaCha20-Poly1305 (RFC 8439) and the secure random source. Every failure is thrown as a
// std::system_error carrying a CryptoError; the OpenSSL reason, when there is one, is in what().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <system_error>

#include "protocol/bytes.hpp"

using EVP_PKEY = struct evp_pkey_st;

namespace kestrel {

enum class CryptoError {
    invalidKey = 1,        // a key of the wrong length or form
    keyAgreementFailed,    // X25519 refused the peer key (e.g. low order: all-zero secret)
    authenticationFailed,  // an AEAD tag did not verify
    invalidNonce,          // a nonce of the wrong length
    randomUnavailable,     // the secure random source failed
    operationFailed,       // any other libcrypto failure
};

const std::error_category& cryptoCategory() noexcept;
std::error_code make_error_code(CryptoError error) noexcept;

// Bytes that are wiped with OPENSSL_cleanse when dropped. Used for every key, whatever its
// length: a pre-shared key enters the channel's key schedule with all of its bytes.
class SymmetricKey {
public:
    SymmetricKey() = default;
    explicit SymmetricKey(ByteView bytes);
    SymmetricKey(const SymmetricKey& other);
    SymmetricKey(SymmetricKey&& other) noexcept;
    SymmetricKey& operator=(const SymmetricKey& other);
    SymmetricKey& operator=(SymmetricKey&& other) noexcept;
    ~SymmetricKey();

    // A key of byteCount bytes from the secure random source.
    static SymmetricKey random(std::size_t byteCount);

    ByteView bytes() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return bytes_.size(); }

    // Constant-time comparison.
    friend bool operator==(const SymmetricKey& a, const SymmetricKey& b) noexcept;

private:
    void wipe() noexcept;
    Bytes bytes_;
};

// An X25519 private key. Move-only; the key material lives inside OpenSSL's EVP_PKEY, which
// clears it on release.
class X25519PrivateKey {
public:
    static constexpr std::size_t keyLength = 32;

    static X25519PrivateKey generate();
    // For known-answer tests: a key from its 32 raw private bytes.
    static X25519PrivateKey fromRawRepresentation(ByteView privateBytes);

    X25519PrivateKey(X25519PrivateKey&&) noexcept;
    X25519PrivateKey& operator=(X25519PrivateKey&&) noexcept;
    ~X25519PrivateKey();

    // The 32 raw bytes of the public key.
    const Bytes& publicKey() const noexcept { return publicKey_; }

    // The 32-byte raw shared secret with a peer's raw public key. A peer key of the wrong
    // length is invalidKey; a key that gives the all-zero secret is keyAgreementFailed.
    SymmetricKey sharedSecret(ByteView peerPublicKey) const;

private:
    struct Release {
        void operator()(EVP_PKEY* key) const noexcept;
    };
    explicit X25519PrivateKey(EVP_PKEY* key);

    std::unique_ptr<EVP_PKEY, Release> key_;
    Bytes publicKey_;
};

// The 32-byte SHA-256 digest.
Bytes sha256(ByteView bytes);

// HKDF-SHA256, extract then expand.
SymmetricKey hkdfSHA256(ByteView inputKeyMaterial, ByteView salt, ByteView info,
                        std::size_t outputLength);

namespace ChaChaPoly {

inline constexpr std::size_t keyLength = 32;
inline constexpr std::size_t nonceLength = 12;
inline constexpr std::size_t tagLength = 16;

// Returns the ciphertext (as long as the plaintext) followed by the 16-byte tag.
Bytes seal(const SymmetricKey& key, ByteView nonce, ByteView plaintext, ByteView additionalData);

// Opens ciphertext + tag; authenticationFailed when the tag does not verify.
Bytes open(const SymmetricKey& key, ByteView nonce, ByteView ciphertext, ByteView tag,
           ByteView additionalData);

}  // namespace ChaChaPoly

// Fills the span from the secure random source; randomUnavailable if it cannot.
void fillRandom(std::span<std::uint8_t> out);

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::CryptoError> : std::true_type {};
