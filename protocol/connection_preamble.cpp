#include "protocol/connection_preamble.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <utility>

namespace kestrel {
namespace {

constexpr std::array<std::string_view, 4> ownKeys{"v", "mode", "deviceID", "clientName"};

ConnectionMode readMode(const nlohmann::json& object) {
    const auto mode = connectionModeFromRawValue(json::requiredString(object, "mode"));
    if (!mode) throw DecodingFailure(DecodingError::dataCorrupted, "mode", "unknown mode");
    return *mode;
}

}  // namespace

std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view text) {
    if (text == "paired") return ConnectionMode::paired;
    if (text == "pairing") return ConnectionMode::pairing;
    return std::nullopt;
}

std::string_view rawValue(ConnectionMode mode) {
    switch (mode) {
        case ConnectionMode::paired: return "paired";
        case ConnectionMode::pairing: return "pairing";
    }
    return "";
}

ConnectionPreamble::ConnectionPreamble(ConnectionMode connectionMode, std::optional<UUID> device,
                                       std::string name, std::int64_t versionNumber)
    : version(versionNumber), mode(connectionMode), deviceID(device), clientName(std::move(name)) {}

Bytes ConnectionPreamble::serialized() const {
    nlohmann::json object = {{"v", version}, {"mode", rawValue(mode)}, {"clientName", clientName}};
    if (deviceID) object["deviceID"] = deviceID->uuidString();
    json::writeUnknownMembers(object, unknownFields, ownKeys);
    return json::serialize(object);
}

ConnectionPreamble ConnectionPreamble::deserialize(ByteView text) {
    const nlohmann::json object = json::parseObject(text);
    const std::int64_t version = json::requiredInt64(object, "v");
    const ConnectionMode mode = readMode(object);
    std::optional<UUID> deviceID = json::optionalUUID(object, "deviceID");
    ConnectionPreamble preamble(mode, deviceID, json::requiredString(object, "clientName"),
                                version);
    preamble.unknownFields = json::unknownMembers(object, ownKeys);
    return preamble;
}

}  // namespace kestrel
