// PairingGrant, the payload that gives a newly paired device its identifier and key: whatever
// reads must write and read back equal.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_support.hpp"
#include "protocol/pairing_grant.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    std::optional<PairingGrant> grant;
    try {
        grant = PairingGrant::deserialize(ByteView(data, size));
    } catch (const DecodingFailure&) {
        return 0;
    }
    const Bytes written = grant->serialized();
    const PairingGrant again = PairingGrant::deserialize(written);
    fuzz::require(again == *grant, "grant does not read back equal");
    fuzz::require(again.serialized() == written, "writing the grant again changes its bytes");
    return 0;
}
