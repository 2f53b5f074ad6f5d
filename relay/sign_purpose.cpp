#include "relay/sign_purpose.hpp"

#include <algorithm>
#include <array>

#include "protocol/base64.hpp"
#include "protocol/crypto.hpp"
#include "protocol/ssh_wire.hpp"
#include "relay/display_name.hpp"

namespace kestrel {
namespace {

constexpr std::uint8_t userauthRequest = 50;  // SSH_MSG_USERAUTH_REQUEST
constexpr std::string_view sshsigMagic = "SSHSIG";
// Names longer than this are cut for showing; the whole name is never needed to tell a login
// as one user from another.
constexpr std::size_t shownNameLength = 64;

std::string_view text(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool hasNul(const Bytes& bytes) {
    return std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end();
}

// RFC 4252 section 7, as OpenSSH's ssh-agent checks it before it signs for a login: the key in
// the data must be the key asked for. OpenSSH 8.9 and later sign the host-bound method, which
// adds the server's host key after the user's.
std::optional<std::string> loginUser(ByteView keyBlob, ByteView data) {
    SSHWireReader reader(data);
    if (reader.readString().empty()) return std::nullopt;  // the session identifier
    if (reader.readByte() != userauthRequest) return std::nullopt;
    Bytes user = reader.readString();
    const Bytes service = reader.readString();
    const Bytes method = reader.readString();
    const std::uint8_t signatureFollows = reader.readByte();
    reader.readString();  // the algorithm
    const Bytes key = reader.readString();
    if (hasNul(user) || text(service) != "ssh-connection" || signatureFollows != 1 ||
        !std::equal(key.begin(), key.end(), keyBlob.begin(), keyBlob.end()))
        return std::nullopt;
    if (text(method) == "publickey-hostbound-v00@openssh.com") {
        if (reader.readString().empty()) return std::nullopt;
    } else if (text(method) != "publickey") {
        return std::nullopt;
    }
    if (!reader.isAtEnd()) return std::nullopt;
    return std::string(text(user));
}

// OpenSSH's PROTOCOL.sshsig: the magic, then namespace, reserved, hash algorithm and the hash
// of the message.
std::optional<std::string> signatureNamespace(ByteView data) {
    if (data.size() < sshsigMagic.size() ||
        !std::equal(sshsigMagic.begin(), sshsigMagic.end(), data.begin()))
        return std::nullopt;
    SSHWireReader reader(data.subspan(sshsigMagic.size()));
    Bytes name = reader.readString();
    reader.readString();  // reserved
    const Bytes algorithm = reader.readString();
    const Bytes hash = reader.readString();
    const std::size_t hashLength = text(algorithm) == "sha256"   ? 32
                                   : text(algorithm) == "sha512" ? 64
                                                                 : 0;
    if (name.empty() || hasNul(name) || hashLength == 0 || hash.size() != hashLength ||
        !reader.isAtEnd())
        return std::nullopt;
    return std::string(text(name));
}

std::string quoted(std::string_view name) {
    std::string shown = visibleText(name, shownNameLength);
    return "\u201C" + shown + "\u201D";
}

// 1234567 -> "1,234,567"
std::string grouped(std::size_t number) {
    const std::string digits = std::to_string(number);
    std::string text;
    text.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

}  // namespace

std::string SignPurpose::description() const {
    switch (kind) {
        case Kind::login: return "log in as " + quoted(name);
        case Kind::signature: {
            std::string phrase = "sign for " + quoted(name);
            if (name == "git") phrase += " (a Git commit or tag)";
            if (name == "file") phrase += " (a file)";
            return phrase;
        }
        case Kind::data: break;
    }
    return "sign " + grouped(dataLength) + (dataLength == 1 ? " byte" : " bytes") + " of data";
}

std::string_view signPurposeKindName(SignPurpose::Kind kind) noexcept {
    switch (kind) {
        case SignPurpose::Kind::login: return "login";
        case SignPurpose::Kind::signature: return "signature";
        case SignPurpose::Kind::data: break;
    }
    return "data";
}

SignPurpose signPurpose(ByteView keyBlob, ByteView data) {
    SignPurpose purpose;
    purpose.dataLength = data.size();
    try {
        if (auto user = loginUser(keyBlob, data)) {
            purpose.kind = SignPurpose::Kind::login;
            purpose.name = std::move(*user);
            return purpose;
        }
    } catch (const std::system_error&) {
        // truncated: not a login
    }
    try {
        if (auto name = signatureNamespace(data)) {
            purpose.kind = SignPurpose::Kind::signature;
            purpose.name = std::move(*name);
        }
    } catch (const std::system_error&) {
    }
    return purpose;
}

std::string keyFingerprint(ByteView keyBlob) {
    std::string encoded = base64Encode(sha256(keyBlob));
    while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
    return "SHA256:" + encoded;
}

bool isKeyFingerprint(std::string_view text) noexcept {
    constexpr std::string_view prefix = "SHA256:";
    if (text.size() != prefix.size() + 43 || text.substr(0, prefix.size()) != prefix) return false;
    const auto isBase64 = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    };
    return std::all_of(text.begin() + prefix.size(), text.end(), isBase64);
}

std::string describeKey(std::string_view fingerprint, const std::optional<std::string>& comment) {
    if (!comment || comment->empty()) return std::string(fingerprint);
    return quoted(*comment) + " " + std::string(fingerprint);
}

}  // namespace kestrel
