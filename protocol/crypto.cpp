#include "protocol/crypto.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <string>

#include "protocol/error_category.hpp"

namespace kestrel {
namespace {

const char* describe(CryptoError error) noexcept {
    switch (error) {
        case CryptoError::invalidKey: return "invalid key";
        case CryptoError::keyAgreementFailed: return "key agreement failed";
        case CryptoError::authenticationFailed: return "authentication failed";
        case CryptoError::invalidNonce: return "invalid nonce";
        case CryptoError::randomUnavailable: return "secure random source unavailable";
        case CryptoError::operationFailed: return "cryptographic operation failed";
    }
    return "unknown crypto error";
}

// Throws the error with OpenSSL's own reason appended, and clears OpenSSL's error queue so a
// stale entry never lands in a later, unrelated message.
[[noreturn]] void fail(CryptoError error, const char* operation) {
    std::string what = operation;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        what += " (";
        what += reason;
        what += ")";
    }
    ERR_clear_error();
    throw std::system_error(make_error_code(error), what);
}

struct CipherContextRelease {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextRelease>;

struct PKeyContextRelease {
    void operator()(EVP_PKEY_CTX* context) const noexcept { EVP_PKEY_CTX_free(context); }
};
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, PKeyContextRelease>;

struct KDFRelease {
    void operator()(EVP_KDF* kdf) const noexcept { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* context) const noexcept { EVP_KDF_CTX_free(context); }
};

// OpenSSL takes buffer lengths as int; every buffer here is far smaller, but check anyway.
int intLength(std::size_t length) {
    if (length > static_cast<std::size_t>(INT_MAX))
        fail(CryptoError::operationFailed, "buffer too large");
    return static_cast<int>(length);
}

// Fetched once: OpenSSL 3 looks a cipher named by EVP_chacha20_poly1305() up again at every
// initialisation, which costs about as much as sealing a short message. Never freed: it lives
// as long as the library.
const EVP_CIPHER* chaChaPoly() {
    static const EVP_CIPHER* const cipher = [] {
        const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
        return fetched != nullptr ? fetched : EVP_chacha20_poly1305();
    }();
    return cipher;
}

CipherContext newChaChaContext(const SymmetricKey& key, ByteView nonce, bool encrypt) {
    if (key.size() != ChaChaPoly::keyLength) fail(CryptoError::invalidKey, "ChaCha20-Poly1305 key");
    if (nonce.size() != ChaChaPoly::nonceLength)
        fail(CryptoError::invalidNonce, "ChaCha20-Poly1305 nonce");
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) fail(CryptoError::operationFailed, "EVP_CIPHER_CTX_new");
    const int enc = encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(context.get(), chaChaPoly(), nullptr, nullptr, nullptr, enc) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_IVLEN, intLength(nonce.size()),
                            nullptr) != 1 ||
        EVP_CipherInit_ex(context.get(), nullptr, nullptr, key.bytes().data(), nonce.data(), enc) !=
            1) {
        fail(CryptoError::operationFailed, "ChaCha20-Poly1305 init");
    }
    return context;
}

void feedAdditionalData(EVP_CIPHER_CTX* context, ByteView additionalData) {
    int ignored = 0;
    if (!additionalData.empty() &&
        EVP_CipherUpdate(context, nullptr, &ignored, additionalData.data(),
                         intLength(additionalData.size())) != 1) {
        fail(CryptoError::operationFailed, "ChaCha20-Poly1305 additional data");
    }
}

}  // namespace

const std::error_category& cryptoCategory() noexcept {
    static const detail::EnumErrorCategory<CryptoError> category("kestrel.crypto", describe);
    return category;
}

std::error_code make_error_code(CryptoError error) noexcept {
    return {static_cast<int>(error), cryptoCategory()};
}

// --- SymmetricKey ---------------------------------------------------------------------------

SymmetricKey::SymmetricKey(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
SymmetricKey::SymmetricKey(const SymmetricKey& other) : bytes_(other.bytes_) {}
SymmetricKey::SymmetricKey(SymmetricKey&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
}

SymmetricKey& SymmetricKey::operator=(const SymmetricKey& other) {
    if (this != &other) {
        wipe();
        bytes_ = other.bytes_;
    }
    return *this;
}

SymmetricKey& SymmetricKey::operator=(SymmetricKey&& other) noexcept {
    if (this != &other) {
        wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

SymmetricKey::~SymmetricKey() { wipe(); }

void SymmetricKey::wipe() noexcept {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

SymmetricKey SymmetricKey::random(std::size_t byteCount) {
    SymmetricKey key;
    key.bytes_.resize(byteCount);
    fillRandom(key.bytes_);
    return key;
}

bool operator==(const SymmetricKey& a, const SymmetricKey& b) noexcept {
    return a.bytes_.size() == b.bytes_.size() &&
           CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), a.bytes_.size()) == 0;
}

// --- X25519 ---------------------------------------------------------------------------------

void X25519PrivateKey::Release::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

X25519PrivateKey::X25519PrivateKey(EVP_PKEY* key) : key_(key), publicKey_(keyLength) {
    std::size_t length = publicKey_.size();
    if (EVP_PKEY_get_raw_public_key(key_.get(), publicKey_.data(), &length) != 1 ||
        length != keyLength) {
        fail(CryptoError::operationFailed, "X25519 public key");
    }
}

X25519PrivateKey::X25519PrivateKey(X25519PrivateKey&&) noexcept = default;
X25519PrivateKey& X25519PrivateKey::operator=(X25519PrivateKey&&) noexcept = default;
X25519PrivateKey::~X25519PrivateKey() = default;

X25519PrivateKey X25519PrivateKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
    if (key == nullptr) fail(CryptoError::operationFailed, "X25519 key generation");
    return X25519PrivateKey(key);
}

X25519PrivateKey X25519PrivateKey::fromRawRepresentation(ByteView privateBytes) {
    if (privateBytes.size() != keyLength)
        fail(CryptoError::invalidKey, "X25519 private key length");
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateBytes.data(),
                                                 privateBytes.size());
    if (key == nullptr) fail(CryptoError::invalidKey, "X25519 private key");
    return X25519PrivateKey(key);
}

SymmetricKey X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
    if (peerPublicKey.size() != keyLength)
        fail(CryptoError::invalidKey, "X25519 public key length");
    std::unique_ptr<EVP_PKEY, Release> peer(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_X25519, nullptr, peerPublicKey.data(), peerPublicKey.size()));
    if (!peer) fail(CryptoError::invalidKey, "X25519 public key");

    PKeyContext context(EVP_PKEY_CTX_new(key_.get(), nullptr));
    if (!context || EVP_PKEY_derive_init(context.get()) != 1 ||
        EVP_PKEY_derive_set_peer(context.get(), peer.get()) != 1) {
        fail(CryptoError::keyAgreementFailed, "X25519 derive setup");
    }
    std::uint8_t secret[keyLength];
    std::size_t length = sizeof secret;
    const bool derived =
        EVP_PKEY_derive(context.get(), secret, &length) == 1 && length == keyLength;
    // OpenSSL already refuses a low-order peer point; the explicit check keeps an all-zero
    // secret from ever becoming a key, whatever the library version does.
    static constexpr std::uint8_t zeros[keyLength] = {};
    const bool allZero = derived && CRYPTO_memcmp(secret, zeros, keyLength) == 0;
    SymmetricKey result(ByteView(secret, length));
    OPENSSL_cleanse(secret, sizeof secret);
    if (!derived || allZero) fail(CryptoError::keyAgreementFailed, "X25519 shared secret");
    return result;
}

// --- SHA-256 --------------------------------------------------------------------------------

Bytes sha256(ByteView bytes) {
    Bytes digest(32);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size())
        fail(CryptoError::operationFailed, "SHA-256");
    return digest;
}

// --- HKDF -----------------------------------------------------------------------------------

SymmetricKey hkdfSHA256(ByteView inputKeyMaterial, ByteView salt, ByteView info,
                        std::size_t outputLength) {
    std::unique_ptr<EVP_KDF, KDFRelease> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf) fail(CryptoError::operationFailed, "HKDF fetch");
    std::unique_ptr<EVP_KDF_CTX, KDFRelease> context(EVP_KDF_CTX_new(kdf.get()));
    if (!context) fail(CryptoError::operationFailed, "HKDF context");

    // OpenSSL reads the octet strings through non-const pointers but does not modify them. An
    // empty span may have no data pointer, which OpenSSL takes as a missing parameter; the
    // empty salt, info or key material of HKDF must still count as given.
    static std::uint8_t emptyOctets = 0;
    auto octets = [](const char* name, ByteView bytes) {
        auto* data = bytes.empty() ? &emptyOctets : const_cast<std::uint8_t*>(bytes.data());
        return OSSL_PARAM_construct_octet_string(name, data, bytes.size());
    };
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, inputKeyMaterial),
        octets(OSSL_KDF_PARAM_SALT, salt),
        octets(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    Bytes output(outputLength);
    const bool ok = EVP_KDF_derive(context.get(), output.data(), output.size(), params) == 1;
    SymmetricKey key(output);
    OPENSSL_cleanse(output.data(), output.size());
    if (!ok) fail(CryptoError::operationFailed, "HKDF-SHA256");
    return key;
}

// --- ChaCha20-Poly1305 ----------------------------------------------------------------------

Bytes ChaChaPoly::seal(const SymmetricKey& key, ByteView nonce, ByteView plaintext,
                       ByteView additionalData) {
    CipherContext context = newChaChaContext(key, nonce, true);
    feedAdditionalData(context.get(), additionalData);
    Bytes sealed(plaintext.size() + tagLength);
    int written = 0;
    int finalWritten = 0;
    if ((!plaintext.empty() &&
         EVP_CipherUpdate(context.get(), sealed.data(), &written, plaintext.data(),
                          intLength(plaintext.size())) != 1) ||
        EVP_CipherFinal_ex(context.get(), sealed.data() + written, &finalWritten) != 1 ||
        static_cast<std::size_t>(written + finalWritten) != plaintext.size() ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, tagLength,
                            sealed.data() + plaintext.size()) != 1) {
        fail(CryptoError::operationFailed, "ChaCha20-Poly1305 seal");
    }
    return sealed;
}

Bytes ChaChaPoly::open(const SymmetricKey& key, ByteView nonce, ByteView ciphertext, ByteView tag,
                       ByteView additionalData) {
    if (tag.size() != tagLength)
        fail(CryptoError::authenticationFailed, "ChaCha20-Poly1305 tag length");
    CipherContext context = newChaChaContext(key, nonce, false);
    feedAdditionalData(context.get(), additionalData);
    Bytes plaintext(ciphertext.size());
    int written = 0;
    if (!ciphertext.empty() &&
        EVP_CipherUpdate(context.get(), plaintext.data(), &written, ciphertext.data(),
                         intLength(ciphertext.size())) != 1) {
        fail(CryptoError::operationFailed, "ChaCha20-Poly1305 open");
    }
    std::uint8_t expectedTag[tagLength];
    std::copy(tag.begin(), tag.end(), expectedTag);
    int finalWritten = 0;
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, tagLength, expectedTag) != 1 ||
        EVP_CipherFinal_ex(context.get(), plaintext.data() + written, &finalWritten) != 1) {
        // Never hand back unauthenticated plaintext, even in part.
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
        fail(CryptoError::authenticationFailed, "ChaCha20-Poly1305 open");
    }
    return plaintext;
}

void fillRandom(std::span<std::uint8_t> out) {
    if (!out.empty() && RAND_bytes(out.data(), intLength(out.size())) != 1) {
        fail(CryptoError::randomUnavailable, "RAND_bytes");
    }
}

}  // namespace kestrel
