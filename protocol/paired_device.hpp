#pragma once

// The relay's view of one paired device. The relay's own device store keeps these fields in
// its own records; the JSON form here is for other programs that exchange devices.

#include <optional>
#include <string>

#include "protocol/bytes.hpp"
#include "protocol/crypto.hpp"
#include "protocol/date.hpp"
#include "protocol/json_value.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

struct PairedDevice {
    UUID deviceID;            // assigned at pairing; never changes
    std::string displayName;  // at pairing, the clientName of the device's preamble
    SymmetricKey pskData;     // the long-term pre-shared key
    Date pairedAt;
    std::optional<Date> lastUsedAt;  // when a connection of the device was last served

    PairedDevice(UUID deviceID, std::string displayName, SymmetricKey pskData, Date pairedAt,
                 std::optional<Date> lastUsedAt = std::nullopt);

    // The key the secure channel uses for this device's connections.
    SymmetricKey psk() const { return pskData; }

    // {"deviceID", "displayName", "pskData" (padded Base64), "pairedAt", "lastUsedAt"}, dates
    // as fractional seconds since 2001-01-01 UTC; "lastUsedAt" left out when none. A date
    // read back may differ from the one written below the microsecond (see date.hpp).
    Bytes serialized() const;

    // "lastUsedAt" absent or null is none; other unknown members are ignored. Throws
    // DecodingFailure naming the offending member.
    static PairedDevice deserialize(ByteView json);

    friend bool operator==(const PairedDevice&, const PairedDevice&) = default;
};

}  // namespace kestrel
