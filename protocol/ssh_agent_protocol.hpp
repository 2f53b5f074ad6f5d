#pragma once

// The few SSH-agent messages the relay deals with (draft-miller-ssh-agent): message numbers,
// framing, classification, and the bodies of identities answers, sign requests and sign
// responses. Every message is a uint32 body length followed by the body, whose first byte is
// the message number.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "protocol/bytes.hpp"

namespace kestrel {

enum class SSHAgentMessageType : std::uint8_t {
    failure = 5,
    success = 6,
    requestIdentities = 11,
    identitiesAnswer = 12,
    signRequest = 13,
    signResponse = 14,
};

// The message type with this number, or none for any other byte.
std::optional<SSHAgentMessageType> sshAgentMessageType(std::uint8_t rawValue) noexcept;

// Flags of a sign request. Bits without a name travel unchanged.
struct SSHAgentSignFlags {
    std::uint32_t rawValue = 0;

    static const SSHAgentSignFlags rsaSha2_256;
    static const SSHAgentSignFlags rsaSha2_512;

    constexpr bool contains(SSHAgentSignFlags other) const noexcept {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isDisjoint(SSHAgentSignFlags other) const noexcept {
        return (rawValue & other.rawValue) == 0;
    }
    constexpr void insert(SSHAgentSignFlags other) noexcept { rawValue |= other.rawValue; }
    constexpr void remove(SSHAgentSignFlags other) noexcept { rawValue &= ~other.rawValue; }

    friend constexpr SSHAgentSignFlags operator|(SSHAgentSignFlags a,
                                                 SSHAgentSignFlags b) noexcept {
        return {a.rawValue | b.rawValue};
    }
    friend constexpr SSHAgentSignFlags operator&(SSHAgentSignFlags a,
                                                 SSHAgentSignFlags b) noexcept {
        return {a.rawValue & b.rawValue};
    }
    friend constexpr SSHAgentSignFlags operator^(SSHAgentSignFlags a,
                                                 SSHAgentSignFlags b) noexcept {
        return {a.rawValue ^ b.rawValue};
    }
    friend constexpr SSHAgentSignFlags operator-(SSHAgentSignFlags a,
                                                 SSHAgentSignFlags b) noexcept {
        return {a.rawValue & ~b.rawValue};
    }
    friend constexpr bool operator==(SSHAgentSignFlags, SSHAgentSignFlags) noexcept = default;
};

inline constexpr SSHAgentSignFlags SSHAgentSignFlags::rsaSha2_256{2};
inline constexpr SSHAgentSignFlags SSHAgentSignFlags::rsaSha2_512{4};

// A key the agent offers.
struct SSHAgentIdentity {
    Bytes keyBlob;        // the public key in SSH wire form
    std::string comment;  // UTF-8; invalid bytes from an agent were replaced by U+FFFD

    // The first string of the key blob ("ssh-ed25519", ...), or none when the blob does not
    // begin with a complete string.
    std::optional<std::string> algorithmName() const;

    friend bool operator==(const SSHAgentIdentity&, const SSHAgentIdentity&) = default;
};

enum class SSHAgentProtocolError {
    unknownMessageType = 1,  // a first byte that is none of the known message numbers
    unexpectedMessageType,   // a body decoder met another message number
    empty,                   // classification of an empty body
    malformed,               // an identities answer declaring more than 1024 keys
};

const std::error_category& sshAgentProtocolCategory() noexcept;
std::error_code make_error_code(SSHAgentProtocolError error) noexcept;

// Thrown for SSHAgentProtocolError; the two type errors carry the offending byte.
class SSHAgentProtocolFailure : public std::system_error {
public:
    explicit SSHAgentProtocolFailure(SSHAgentProtocolError error,
                                     std::optional<std::uint8_t> messageByte = std::nullopt);

    std::optional<std::uint8_t> messageByte() const noexcept { return messageByte_; }

private:
    std::optional<std::uint8_t> messageByte_;
};

namespace SSHAgentProtocol {

// An identities answer may list at most this many keys; more is refused as malformed.
inline constexpr std::uint32_t maxIdentities = 1024;

struct Deframed {
    Bytes body;
    std::size_t consumed;  // length prefix + body; bytes after the first message are ignored
};

struct SignRequest {
    Bytes keyBlob;
    Bytes data;
    SSHAgentSignFlags flags;
};

Bytes frame(ByteView body);
// The first message of the buffer, or none when the buffer does not yet hold a whole one.
std::optional<Deframed> deframe(ByteView buffer);

// Looks at the first byte only.
SSHAgentMessageType messageType(ByteView body);
bool isForwardable(SSHAgentMessageType type) noexcept;

Bytes encodeRequestIdentities();
Bytes encodeFailure();
Bytes encodeIdentitiesAnswer(std::span<const SSHAgentIdentity> identities);
Bytes encodeSignRequest(ByteView keyBlob, ByteView data, SSHAgentSignFlags flags);
Bytes encodeSignResponse(ByteView signature);

// Body decoders take the body without its length prefix (what deframe returns). Short input
// throws SSHWireError::truncated; trailing bytes after the last field are ignored.
std::vector<SSHAgentIdentity> decodeIdentitiesAnswer(ByteView body);
SignRequest decodeSignRequest(ByteView body);
Bytes decodeSignResponse(ByteView body);

}  // namespace SSHAgentProtocol

// The bytes as UTF-8 text, with each invalid sequence replaced by U+FFFD.
std::string decodeUTF8Lossy(ByteView bytes);

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::SSHAgentProtocolError> : std::true_type {};
