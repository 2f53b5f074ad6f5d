// RelayEnvelope, every message inside the secure channel: whatever reads must write and read
// back equal. The same input also goes through the Base64 codec the payload uses, both ways.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "protocol/base64.hpp"
#include "protocol/relay_envelope.hpp"

namespace {

using namespace kestrel;

void checkEnvelope(ByteView input) {
    std::optional<RelayEnvelope> envelope;
    try {
        envelope = RelayEnvelope::deserialize(input);
    } catch (const DecodingFailure&) {
        return;
    }
    const Bytes written = envelope->serialized();
    const RelayEnvelope again = RelayEnvelope::deserialize(written);
    fuzz::require(again == *envelope, "envelope does not read back equal");
    fuzz::require(again.serialized() == written, "writing the envelope again changes its bytes");
}

// The input as Base64 text: what decodes re-encodes to text of the same length that decodes to
// the same bytes (it may differ from the input only in the unused low bits of the last group).
void checkDecoding(ByteView input) {
    const auto decoded = base64Decode(fuzz::asText(input));
    if (!decoded) return;
    fuzz::require(input.size() % 4 == 0, "decoded text whose length is not a multiple of 4");
    const std::string encoded = base64Encode(*decoded);
    fuzz::require(encoded.size() == input.size(), "re-encoding changed the length");
    fuzz::require(base64Decode(encoded) == decoded, "re-encoded text decodes differently");
}

// The input as bytes: encoding gives padded text that decodes back to them.
void checkEncoding(ByteView input) {
    const std::string encoded = base64Encode(input);
    fuzz::require(encoded.size() == (input.size() + 2) / 3 * 4, "encoded length wrong");
    const auto decoded = base64Decode(encoded);
    fuzz::require(decoded && *decoded == Bytes(input.begin(), input.end()),
                  "encoded bytes do not decode back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    checkEnvelope(input);
    checkDecoding(input);
    checkEncoding(input);
    return 0;
}
