#include "protocol/ssh_agent_protocol.hpp"

#include <unicode/unistr.h>

#include <cstdint>
#include <stdexcept>

#include "protocol/error_category.hpp"
#include "protocol/ssh_wire.hpp"

namespace kestrel {
namespace {

const char* describe(SSHAgentProtocolError error) noexcept {
    switch (error) {
        case SSHAgentProtocolError::unknownMessageType: return "unknown SSH agent message type";
        case SSHAgentProtocolError::unexpectedMessageType:
            return "unexpected SSH agent message type";
        case SSHAgentProtocolError::empty: return "empty SSH agent message";
        case SSHAgentProtocolError::malformed: return "malformed SSH agent message";
    }
    return "unknown SSH agent protocol error";
}

SSHWireWriter startBody(SSHAgentMessageType type) {
    SSHWireWriter writer;
    writer.writeByte(static_cast<std::uint8_t>(type));
    return writer;
}

SSHWireReader startDecoding(ByteView body, SSHAgentMessageType expected) {
    SSHWireReader reader(body);
    const std::uint8_t type = reader.readByte();
    if (type != static_cast<std::uint8_t>(expected)) {
        throw SSHAgentProtocolFailure(SSHAgentProtocolError::unexpectedMessageType, type);
    }
    return reader;
}

}  // namespace

std::optional<SSHAgentMessageType> sshAgentMessageType(std::uint8_t rawValue) noexcept {
    switch (rawValue) {
        case 5:
        case 6:
        case 11:
        case 12:
        case 13:
        case 14: return static_cast<SSHAgentMessageType>(rawValue);
        default: return std::nullopt;
    }
}

std::optional<std::string> SSHAgentIdentity::algorithmName() const {
    try {
        SSHWireReader reader(keyBlob);
        return decodeUTF8Lossy(reader.readString());
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

const std::error_category& sshAgentProtocolCategory() noexcept {
    static const detail::EnumErrorCategory<SSHAgentProtocolError> category(
        "kestrel.ssh-agent-protocol", describe);
    return category;
}

std::error_code make_error_code(SSHAgentProtocolError error) noexcept {
    return {static_cast<int>(error), sshAgentProtocolCategory()};
}

SSHAgentProtocolFailure::SSHAgentProtocolFailure(SSHAgentProtocolError error,
                                                 std::optional<std::uint8_t> messageByte)
    : std::system_error(error,
                        messageByte ? "byte " + std::to_string(*messageByte) : std::string()),
      messageByte_(messageByte) {}

std::string decodeUTF8Lossy(ByteView bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("text too long");
    // ICU substitutes U+FFFD for each maximal invalid subsequence, as the client's platform does.
    const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(
        reinterpret_cast<const char*>(bytes.data()), static_cast<std::int32_t>(bytes.size())));
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

namespace SSHAgentProtocol {

Bytes frame(ByteView body) {
    SSHWireWriter writer;
    writer.writeString(body);
    return writer.data();
}

std::optional<Deframed> deframe(ByteView buffer) {
    if (buffer.size() < 4) return std::nullopt;
    const std::uint64_t length = std::uint64_t{buffer[0]} << 24 | std::uint64_t{buffer[1]} << 16 |
                                 std::uint64_t{buffer[2]} << 8 | buffer[3];
    if (buffer.size() < length + 4) return std::nullopt;
    const auto body = buffer.subspan(4, static_cast<std::size_t>(length));
    return Deframed{{body.begin(), body.end()}, static_cast<std::size_t>(length + 4)};
}

SSHAgentMessageType messageType(ByteView body) {
    if (body.empty()) throw SSHAgentProtocolFailure(SSHAgentProtocolError::empty);
    if (auto type = sshAgentMessageType(body[0])) return *type;
    throw SSHAgentProtocolFailure(SSHAgentProtocolError::unknownMessageType, body[0]);
}

bool isForwardable(SSHAgentMessageType type) noexcept {
    return type == SSHAgentMessageType::requestIdentities ||
           type == SSHAgentMessageType::signRequest;
}

Bytes encodeRequestIdentities() {
    return frame(startBody(SSHAgentMessageType::requestIdentities).bytes());
}

Bytes encodeFailure() { return frame(startBody(SSHAgentMessageType::failure).bytes()); }

Bytes encodeIdentitiesAnswer(std::span<const SSHAgentIdentity> identities) {
    SSHWireWriter writer = startBody(SSHAgentMessageType::identitiesAnswer);
    writer.writeUInt32(static_cast<std::uint32_t>(identities.size()));
    for (const SSHAgentIdentity& identity : identities) {
        writer.writeString(identity.keyBlob);
        writer.writeString(identity.comment);
    }
    return frame(writer.bytes());
}

Bytes encodeSignRequest(ByteView keyBlob, ByteView data, SSHAgentSignFlags flags) {
    SSHWireWriter writer = startBody(SSHAgentMessageType::signRequest);
    writer.writeString(keyBlob);
    writer.writeString(data);
    writer.writeUInt32(flags.rawValue);
    return frame(writer.bytes());
}

Bytes encodeSignResponse(ByteView signature) {
    SSHWireWriter writer = startBody(SSHAgentMessageType::signResponse);
    writer.writeString(signature);
    return frame(writer.bytes());
}

std::vector<SSHAgentIdentity> decodeIdentitiesAnswer(ByteView body) {
    SSHWireReader reader = startDecoding(body, SSHAgentMessageType::identitiesAnswer);
    const std::uint32_t count = reader.readUInt32();
    if (count > maxIdentities) throw SSHAgentProtocolFailure(SSHAgentProtocolError::malformed);
    std::vector<SSHAgentIdentity> identities;
    identities.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        Bytes keyBlob = reader.readStringData();
        std::string comment = decodeUTF8Lossy(reader.readStringData());
        identities.push_back({std::move(keyBlob), std::move(comment)});
    }
    return identities;
}

SignRequest decodeSignRequest(ByteView body) {
    SSHWireReader reader = startDecoding(body, SSHAgentMessageType::signRequest);
    SignRequest request;
    request.keyBlob = reader.readStringData();
    request.data = reader.readStringData();
    request.flags = SSHAgentSignFlags{reader.readUInt32()};
    return request;
}

Bytes decodeSignResponse(ByteView body) {
    SSHWireReader reader = startDecoding(body, SSHAgentMessageType::signResponse);
    return reader.readStringData();
}

}  // namespace SSHAgentProtocol
}  // namespace kestrel
