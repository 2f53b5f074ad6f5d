#include "protocol/pairing_grant.hpp"

#include <nlohmann/json.hpp>

#include <utility>

#include "protocol/base64.hpp"
#include "protocol/json_value.hpp"

namespace kestrel {

PairingGrant::PairingGrant(UUID device, SymmetricKey key, std::string name)
    : deviceID(device), pskData(std::move(key)), relayName(std::move(name)) {}

Bytes PairingGrant::serialized() const {
    const nlohmann::json object = {{"deviceID", deviceID.uuidString()},
                                   {"pskData", base64Encode(pskData.bytes())},
                                   {"relayName", relayName}};
    return json::serialize(object);
}

PairingGrant PairingGrant::deserialize(ByteView text) {
    const nlohmann::json object = json::parseObject(text);
    const UUID deviceID = json::requiredUUID(object, "deviceID");
    SymmetricKey key = json::requiredKey(object, "pskData");
    return PairingGrant(deviceID, std::move(key), json::requiredString(object, "relayName"));
}

}  // namespace kestrel
