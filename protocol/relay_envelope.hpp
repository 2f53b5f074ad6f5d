#pragma once

// Every message inside an established secure channel, either way: a small JSON object naming
// the message's type and carrying its bytes as Base64 text.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.hpp"
#include "protocol/json_value.hpp"

namespace kestrel {

enum class RelayMessageType {
    pairingGrant,   // relay → client, once: the JSON bytes of a PairingGrant
    pairingAck,     // client → relay: the answer to the grant, never decoded
    agentRequest,   // client → relay: one SSH-agent request with its length prefix
    agentResponse,  // relay → client: the agent's reply, or a failure the relay made
    error,          // never sent by the relay; a received one closes the connection
};

// Exactly one of the five names above (case-sensitive); none for any other text.
std::optional<RelayMessageType> relayMessageTypeFromRawValue(std::string_view text);
std::string_view rawValue(RelayMessageType type);

struct RelayEnvelope {
    std::int64_t version;
    RelayMessageType type;
    Bytes payload;
    // Members the envelope does not know, kept so that they are written back unchanged.
    std::map<std::string, JSONValue> unknownFields;

    RelayEnvelope(RelayMessageType type, Bytes payload, std::int64_t version = 1);

    // One JSON object: "v", "type", "payload" (padded Base64), then the unknown members.
    // Throws EncodingError when an unknown member cannot be written.
    Bytes serialized() const;

    // Throws DecodingFailure naming the offending member; a "payload" that is text but not
    // Base64 is dataCorrupted "payload not base64".
    static RelayEnvelope deserialize(ByteView json);

    friend bool operator==(const RelayEnvelope&, const RelayEnvelope&) = default;
};

}  // namespace kestrel
