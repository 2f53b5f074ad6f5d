#pragma once

#include <optional>
#include <string>

#include "protocol/date.hpp"

namespace kestrel {

// An agent request that the relay could not pass to the local SSH agent, or whose reply it did
// not get: reported once, as it happens, for the log and the status. The device was answered
// with the agent failure message.
struct AgentFailure {
    std::string deviceName;                 // cleaned when the device paired
    std::optional<std::string> socketPath;  // none when no agent socket was found
    std::string reason;                     // one line
    Date at;
};

// One line for a log: which device, which socket, what failed.
inline std::string agentFailureLine(const AgentFailure& failure) {
    return "agent request from \u201C" + failure.deviceName +
           "\u201D failed: " + (failure.socketPath ? *failure.socketPath + ": " : std::string()) +
           failure.reason;
}

}  // namespace kestrel
