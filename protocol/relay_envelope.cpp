#include "protocol/relay_envelope.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstring>
#include <utility>

#include "protocol/base64.hpp"

namespace kestrel {
namespace {

constexpr std::array<std::string_view, 3> ownKeys{"v", "type", "payload"};

constexpr std::array<std::pair<RelayMessageType, std::string_view>, 5> rawValues{{
    {RelayMessageType::pairingGrant, "pairingGrant"},
    {RelayMessageType::pairingAck, "pairingAck"},
    {RelayMessageType::agentRequest, "agentRequest"},
    {RelayMessageType::agentResponse, "agentResponse"},
    {RelayMessageType::error, "error"},
}};

RelayMessageType readType(const nlohmann::json& object) {
    const auto type = relayMessageTypeFromRawValue(json::requiredString(object, "type"));
    if (!type) throw DecodingFailure(DecodingError::dataCorrupted, "type", "unknown message type");
    return *type;
}

}  // namespace

std::optional<RelayMessageType> relayMessageTypeFromRawValue(std::string_view text) {
    for (const auto& [type, raw] : rawValues) {
        if (raw == text) return type;
    }
    return std::nullopt;
}

std::string_view rawValue(RelayMessageType type) {
    for (const auto& [candidate, raw] : rawValues) {
        if (candidate == type) return raw;
    }
    return "";
}

RelayEnvelope::RelayEnvelope(RelayMessageType messageType, Bytes bytes, std::int64_t versionNumber)
    : version(versionNumber), type(messageType), payload(std::move(bytes)) {}

Bytes RelayEnvelope::serialized() const {
    if (unknownFields.empty()) {
        // Every request and reply passes here: the bytes the JSON tree below would give (members
        // in key order, no spaces), written straight out. Base64 text and the type names need
        // no escaping.
        constexpr std::string_view start = R"({"payload":")";
        constexpr std::string_view beforeType = R"(","type":")";
        constexpr std::string_view beforeVersion = R"(","v":)";
        const std::string_view typeName = rawValue(type);
        const std::string versionText = std::to_string(version);
        const std::size_t encoded = base64Length(payload.size());
        Bytes text(start.size() + encoded + beforeType.size() + typeName.size() +
                   beforeVersion.size() + versionText.size() + 1);
        std::uint8_t* out = text.data();
        const auto put = [&out](std::string_view part) {
            std::memcpy(out, part.data(), part.size());
            out += part.size();
        };
        put(start);
        base64EncodeTo(payload, out);
        out += encoded;
        put(beforeType);
        put(typeName);
        put(beforeVersion);
        put(versionText);
        put("}");
        return text;
    }
    nlohmann::json object = {
        {"v", version}, {"type", rawValue(type)}, {"payload", base64Encode(payload)}};
    json::writeUnknownMembers(object, unknownFields, ownKeys);
    return json::serialize(object);
}

RelayEnvelope RelayEnvelope::deserialize(ByteView text) {
    const nlohmann::json object = json::parseObject(text);
    const std::int64_t version = json::requiredInt64(object, "v");
    const RelayMessageType type = readType(object);
    RelayEnvelope envelope(type, json::requiredBase64(object, "payload"), version);
    envelope.unknownFields = json::unknownMembers(object, ownKeys);
    return envelope;
}

}  // namespace kestrel
