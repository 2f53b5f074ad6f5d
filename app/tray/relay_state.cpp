#include "app/tray/relay_state.hpp"

#include <algorithm>

#include "app/relay/relay_runtime.hpp"

namespace kestrel {

bool RelayState::hasHeldDevice() const {
    return std::any_of(devices.begin(), devices.end(),
                       [](const DeviceRow& row) { return row.held; });
}

RelayState snapshotOf(RelayRuntime& runtime) {
    RelayController& controller = runtime.controller();
    RelayState state;
    state.isRunning = controller.isRunning();
    state.relayName = controller.relayName();
    state.pairingCode = controller.pairingCode();
    if (!state.pairingCode && controller.lastPairing() &&
        controller.lastPairing()->result == PairingResult::failed)
        state.pairingMessage = controller.lastPairing()->message;
    const auto unavailable = controller.store().unavailableDevices();
    for (const DeviceMetadata& metadata : controller.store().metadata()) {
        DeviceRow row{metadata.deviceID.uuidString(),
                      metadata.displayName,
                      metadata.lastUsedAt,
                      metadata.held,
                      {},
                      {}};
        for (const PairingEvidence& evidence : metadata.evidence)
            row.evidence.push_back(evidence.description(metadata.displayName));
        for (const auto& device : unavailable) {
            if (device.metadata.deviceID == metadata.deviceID)
                row.unavailable = "its key cannot be read: " + device.reason;
        }
        state.devices.push_back(std::move(row));
    }
    state.socketOverride = controller.socketOverride();
    state.agentSocket = runtime.agentSocket();
    state.launchAtLogin = controller.launchAtLogin();
    state.hideDockIcon = controller.hideDockIcon();
    return state;
}

}  // namespace kestrel
