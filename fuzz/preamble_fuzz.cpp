// ConnectionPreamble, the first (cleartext) message of every connection: whatever reads must
// write and read back equal, and writing it again gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_support.hpp"
#include "protocol/connection_preamble.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    std::optional<ConnectionPreamble> preamble;
    try {
        preamble = ConnectionPreamble::deserialize(ByteView(data, size));
    } catch (const DecodingFailure&) {
        return 0;
    }
    // Outside the try: a preamble that was read must be writable and readable again.
    const Bytes written = preamble->serialized();
    const ConnectionPreamble again = ConnectionPreamble::deserialize(written);
    fuzz::require(again == *preamble, "preamble does not read back equal");
    fuzz::require(again.serialized() == written, "writing the preamble again changes its bytes");
    return 0;
}
