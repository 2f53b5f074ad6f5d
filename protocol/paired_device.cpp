#include "protocol/paired_device.hpp"

#include <nlohmann/json.hpp>

#include <string_view>
#include <utility>

#include "protocol/base64.hpp"
#include "protocol/json_value.hpp"

namespace kestrel {
namespace {

Date toDate(double seconds, std::string_view key) {
    const auto date = dateFromReferenceSeconds(seconds);
    if (!date) {
        throw DecodingFailure(DecodingError::dataCorrupted, std::string(key), "date out of range");
    }
    return *date;
}

std::optional<Date> optionalDate(const nlohmann::json& object, std::string_view key) {
    const auto seconds = json::optionalNumber(object, key);
    if (!seconds) return std::nullopt;
    return toDate(*seconds, key);
}

}  // namespace

PairedDevice::PairedDevice(UUID device, std::string name, SymmetricKey key, Date paired,
                           std::optional<Date> lastUsed)
    : deviceID(device),
      displayName(std::move(name)),
      pskData(std::move(key)),
      pairedAt(paired),
      lastUsedAt(lastUsed) {}

Bytes PairedDevice::serialized() const {
    nlohmann::json object = {{"deviceID", deviceID.uuidString()},
                             {"displayName", displayName},
                             {"pskData", base64Encode(pskData.bytes())},
                             {"pairedAt", secondsSinceReferenceDate(pairedAt)}};
    if (lastUsedAt) object["lastUsedAt"] = secondsSinceReferenceDate(*lastUsedAt);
    return json::serialize(object);
}

PairedDevice PairedDevice::deserialize(ByteView text) {
    const nlohmann::json object = json::parseObject(text);
    const UUID deviceID = json::requiredUUID(object, "deviceID");
    std::string displayName = json::requiredString(object, "displayName");
    SymmetricKey key = json::requiredKey(object, "pskData");
    const Date pairedAt = toDate(json::requiredNumber(object, "pairedAt"), "pairedAt");
    return PairedDevice(deviceID, std::move(displayName), std::move(key), pairedAt,
                        optionalDate(object, "lastUsedAt"));
}

}  // namespace kestrel
