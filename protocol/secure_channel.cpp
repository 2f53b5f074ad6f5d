#include "protocol/secure_channel.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "protocol/error_category.hpp"

namespace kestrel {
namespace {

constexpr std::string_view clientToServerLabel = "tidewell-relay1 c2s";
constexpr std::string_view serverToClientLabel = "tidewell-relay1 s2c";
constexpr std::string_view serverConfirmText = "server-confirm";
constexpr std::string_view clientConfirmText = "client-confirm";

// Never used as a nonce: a channel that reaches it refuses to go on.
constexpr std::uint64_t lastCounter = std::numeric_limits<std::uint64_t>::max();

const char* describe(SecureChannelError error) noexcept {
    switch (error) {
        case SecureChannelError::badHandshakeLength: return "bad handshake length";
        case SecureChannelError::confirmRejected: return "handshake confirmation rejected";
        case SecureChannelError::notEstablished: return "secure channel not established";
        case SecureChannelError::counterOverflow: return "message counter exhausted";
    }
    return "unknown secure channel error";
}

[[noreturn]] void fail(SecureChannelError error) { throw std::system_error(error); }

bool equalsText(ByteView bytes, std::string_view text) {
    const ByteView expected = asBytes(text);
    return std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end());
}

// Opens a confirm message (ciphertext | tag, counter 0). Every failure, of the message's form or
// of its authentication, is a rejected confirm.
void checkConfirm(const SymmetricKey& key, ByteView message, ByteView transcript,
                  std::string_view expectedText) {
    if (message.size() < SecureChannel::tagLength) fail(SecureChannelError::confirmRejected);
    const std::size_t split = message.size() - SecureChannel::tagLength;
    Bytes plaintext;
    try {
        plaintext = ChaChaPoly::open(key, SecureChannel::messageNonce(0), message.first(split),
                                     message.subspan(split), transcript);
    } catch (const std::system_error&) {
        fail(SecureChannelError::confirmRejected);
    }
    if (!equalsText(plaintext, expectedText)) fail(SecureChannelError::confirmRejected);
}

}  // namespace

const std::error_category& secureChannelCategory() noexcept {
    static const detail::EnumErrorCategory<SecureChannelError> category("kestrel.secure-channel",
                                                                        describe);
    return category;
}

std::error_code make_error_code(SecureChannelError error) noexcept {
    return {static_cast<int>(error), secureChannelCategory()};
}

SecureChannel::SecureChannel(Role role, SymmetricKey psk, std::optional<Bytes> randomNonce)
    : SecureChannel(role, std::move(psk), X25519PrivateKey::generate(), std::move(randomNonce)) {}

SecureChannel::SecureChannel(Role role, SymmetricKey psk, X25519PrivateKey ephemeral,
                             std::optional<Bytes> randomNonce)
    : role_(role), psk_(std::move(psk)), ephemeral_(std::move(ephemeral)) {
    if (randomNonce) {
        localNonce_ = std::move(*randomNonce);
    } else {
        localNonce_.resize(nonceLength);
        fillRandom(localNonce_);
    }
}

Bytes SecureChannel::messageNonce(std::uint64_t counter) {
    Bytes nonce(ChaChaPoly::nonceLength, 0);
    for (int i = 0; i < 8; ++i) nonce[11 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
    return nonce;
}

void SecureChannel::requireRole(Role expected, const char* operation) const {
    // A role mix-up is a programming error that no peer input can cause: stop rather than run
    // the other side's half of the handshake.
    if (role_ != expected) {
        std::fprintf(stderr, "SecureChannel::%s called on a channel of the other role\n",
                     operation);
        std::abort();
    }
}

SecureChannel::SessionKeys SecureChannel::deriveKeys(ByteView peerPublicKey, ByteView clientNonce,
                                                     ByteView serverNonce) const {
    const SymmetricKey shared = ephemeral_.sharedSecret(peerPublicKey);
    Bytes material(psk_.bytes().begin(), psk_.bytes().end());
    append(material, shared.bytes());
    const SymmetricKey inputKeyMaterial(material);
    OPENSSL_cleanse(material.data(), material.size());

    Bytes salt(clientNonce.begin(), clientNonce.end());
    append(salt, serverNonce);
    return {hkdfSHA256(inputKeyMaterial.bytes(), salt, asBytes(clientToServerLabel), keyLength),
            hkdfSHA256(inputKeyMaterial.bytes(), salt, asBytes(serverToClientLabel), keyLength)};
}

Bytes SecureChannel::clientHello() {
    requireRole(Role::client, "clientHello");
    Bytes hello = ephemeral_.publicKey();
    append(hello, localNonce_);
    transcript_ = hello;
    return hello;
}

Bytes SecureChannel::serverReceiveClientHello(ByteView clientHello) {
    requireRole(Role::server, "serverReceiveClientHello");
    if (clientHello.size() != clientHelloLength) fail(SecureChannelError::badHandshakeLength);
    const ByteView peerPublicKey = clientHello.first(publicKeyLength);
    const ByteView peerNonce = clientHello.subspan(publicKeyLength, nonceLength);

    SessionKeys keys = deriveKeys(peerPublicKey, peerNonce, localNonce_);
    sendKey_ = std::move(keys.serverToClient);
    receiveKey_ = std::move(keys.clientToServer);

    Bytes hello = ephemeral_.publicKey();
    append(hello, localNonce_);
    transcript_.assign(clientHello.begin(), clientHello.end());
    append(transcript_, hello);
    append(hello,
           ChaChaPoly::seal(*sendKey_, messageNonce(0), asBytes(serverConfirmText), transcript_));
    sendCounter_ = 1;
    return hello;
}

Bytes SecureChannel::clientReceiveServerHello(ByteView serverHello) {
    requireRole(Role::client, "clientReceiveServerHello");
    if (serverHello.size() < clientHelloLength + 1) fail(SecureChannelError::badHandshakeLength);
    const ByteView peerPublicKey = serverHello.first(publicKeyLength);
    const ByteView peerNonce = serverHello.subspan(publicKeyLength, nonceLength);

    SessionKeys keys = deriveKeys(peerPublicKey, localNonce_, peerNonce);
    sendKey_ = std::move(keys.clientToServer);
    receiveKey_ = std::move(keys.serverToClient);

    Bytes transcript = transcript_;
    append(transcript, serverHello.first(clientHelloLength));
    checkConfirm(*receiveKey_, serverHello.subspan(clientHelloLength), transcript,
                 serverConfirmText);
    receiveCounter_ = 1;
    Bytes confirm =
        ChaChaPoly::seal(*sendKey_, messageNonce(0), asBytes(clientConfirmText), transcript);
    sendCounter_ = 1;
    return confirm;
}

void SecureChannel::serverReceiveClientConfirm(ByteView clientConfirm) {
    requireRole(Role::server, "serverReceiveClientConfirm");
    if (!receiveKey_) fail(SecureChannelError::notEstablished);
    checkConfirm(*receiveKey_, clientConfirm, transcript_, clientConfirmText);
    receiveCounter_ = 1;
}

Bytes SecureChannel::seal(ByteView plaintext) {
    if (!sendKey_) fail(SecureChannelError::notEstablished);
    if (sendCounter_ == lastCounter) fail(SecureChannelError::counterOverflow);
    Bytes sealed = ChaChaPoly::seal(*sendKey_, messageNonce(sendCounter_), plaintext, {});
    ++sendCounter_;
    return sealed;
}

Bytes SecureChannel::open(ByteView message) {
    if (!receiveKey_) fail(SecureChannelError::notEstablished);
    if (receiveCounter_ == lastCounter) fail(SecureChannelError::counterOverflow);
    if (message.size() < tagLength) fail(SecureChannelError::badHandshakeLength);
    const std::size_t split = message.size() - tagLength;
    Bytes plaintext = ChaChaPoly::open(*receiveKey_, messageNonce(receiveCounter_),
                                       message.first(split), message.subspan(split), {});
    ++receiveCounter_;
    return plaintext;
}

}  // namespace kestrel
