#pragma once

// What the relay hands a newly paired device, inside the first secure channel: the device's
// identifier and long-term key. Travels as the payload of a pairingGrant envelope.

#include <string>

#include "protocol/bytes.hpp"
#include "protocol/crypto.hpp"
#include "protocol/json_value.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

struct PairingGrant {
    UUID deviceID;
    SymmetricKey pskData;
    std::string relayName;  // the relay's name, for display on the device

    PairingGrant(UUID deviceID, SymmetricKey pskData, std::string relayName);

    // {"deviceID": upper-case UUID text, "pskData": padded Base64, "relayName": text}.
    Bytes serialized() const;

    // All three members are required; any other member is ignored and not kept. Throws
    // DecodingFailure naming the offending member.
    static PairingGrant deserialize(ByteView json);

    friend bool operator==(const PairingGrant&, const PairingGrant&) = default;
};

}  // namespace kestrel
