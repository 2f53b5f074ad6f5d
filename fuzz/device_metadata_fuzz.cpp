// The paired-device list in the settings, which any program running as the user can edit: each
// entry's "held" flag and pairing evidence decide whether a device may use the agent. Whatever
// reads must write back in a form that reads the same, and a held device must stay held.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "protocol/json_value.hpp"
#include "relay/paired_device_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    std::vector<DeviceMetadata> devices;
    try {
        devices = decodeDeviceMetadata(json::parse(ByteView(data, size)));
    } catch (const DecodingFailure&) {
        return 0;
    }
    const nlohmann::json written = encodeDeviceMetadata(devices);
    const std::vector<DeviceMetadata> again = decodeDeviceMetadata(written);
    fuzz::require(again.size() == devices.size(), "the list changes length when written");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        fuzz::require(again[i].held == devices[i].held, "a device's hold is lost when written");
        fuzz::require(again[i].evidence.size() == devices[i].evidence.size(),
                      "evidence is lost when written");
        fuzz::require(again[i].deviceID == devices[i].deviceID, "a device changes its ID");
        for (const PairingEvidence& evidence : again[i].evidence)
            fuzz::require(!evidence.description(again[i].displayName).empty(),
                          "evidence without a description");
    }
    fuzz::require(encodeDeviceMetadata(again) == written, "writing the list again changes it");
    return 0;
}
