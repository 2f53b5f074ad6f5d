#pragma once

// The first message of every relay connection, sent by the client in the clear inside one
// frame: it says which pre-shared key the handshake that follows will use.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.hpp"
#include "protocol/json_value.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

enum class ConnectionMode {
    paired,   // the device names itself by deviceID and uses its long-term key
    pairing,  // the device wants to pair, with the key derived from the open pairing code
};

// Exactly "paired" or "pairing" (case-sensitive); none for any other text.
std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view text);
std::string_view rawValue(ConnectionMode mode);

struct ConnectionPreamble {
    std::int64_t version;
    ConnectionMode mode;
    std::optional<UUID> deviceID;
    std::string clientName;
    // Members the preamble does not know, kept so that they are written back unchanged.
    std::map<std::string, JSONValue> unknownFields;

    ConnectionPreamble(ConnectionMode mode, std::optional<UUID> deviceID, std::string clientName,
                       std::int64_t version = 1);

    // One JSON object: "v", "mode", "deviceID" (left out when none), "clientName", then the
    // unknown members. Throws EncodingError when an unknown member cannot be written.
    Bytes serialized() const;

    // Throws DecodingFailure naming the offending member; "deviceID" absent or null is none.
    static ConnectionPreamble deserialize(ByteView json);

    friend bool operator==(const ConnectionPreamble&, const ConnectionPreamble&) = default;
};

}  // namespace kestrel
