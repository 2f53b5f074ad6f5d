#pragma once

// What the tray shows of the relay: a copy made on the relay thread and handed to the UI, which
// never reads a relay object itself. Qt-free, so that it is built and tested with the relay.

#include <optional>
#include <string>
#include <vector>

#include "protocol/date.hpp"

namespace kestrel {

class RelayRuntime;

struct DeviceRow {
    std::string deviceID;  // the UUID's text
    std::string displayName;
    std::optional<Date> lastUsedAt;
    // Held by the pairing defence until the user allows it; evidence says why, one line each.
    bool held = false;
    std::vector<std::string> evidence;
    // Why the device cannot connect now (its key cannot be read), or empty.
    std::string unavailable;

    friend bool operator==(const DeviceRow&, const DeviceRow&) = default;
};

struct RelayState {
    bool isRunning = false;
    // Why the relay is not running, when a start failed; empty otherwise.
    std::string startError;
    // Why the user's last action could not be carried out, until the next one; empty otherwise.
    std::string problem;
    std::string relayName;
    std::optional<std::string> pairingCode;
    // Why the last pairing window ended, while no new one is open ("" when it paired or none
    // ended yet).
    std::string pairingMessage;
    std::vector<DeviceRow> devices;
    std::string socketOverride;
    // The agent socket requests go to now, or none when none is found.
    std::optional<std::string> agentSocket;
    bool launchAtLogin = false;
    bool hideDockIcon = false;

    bool hasHeldDevice() const;
    friend bool operator==(const RelayState&, const RelayState&) = default;
};

// The runtime's state now. Relay thread only.
RelayState snapshotOf(RelayRuntime& runtime);

}  // namespace kestrel
