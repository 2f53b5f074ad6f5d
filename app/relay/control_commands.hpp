#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "relay/relay_controller.hpp"

namespace kestrel::control {

// Answers control requests from the relay's state. Relay thread only. Every answer is one JSON
// object; a request that cannot be carried out gives {"error": "..."} and changes nothing.
class ControlCommands {
public:
    // warnings: lines worth showing in every status (settings kept aside, and so on).
    ControlCommands(RelayController& controller, std::vector<std::string> warnings)
        : controller_(controller), warnings_(std::move(warnings)) {}

    // How the relay came by its port, shown with it.
    void setPortNote(std::string note) { portNote_ = std::move(note); }

    nlohmann::json handle(const nlohmann::json& request);

    nlohmann::json status() const;
    nlohmann::json pair(const nlohmann::json& request);
    nlohmann::json cancelPairing();
    nlohmann::json devices() const;
    nlohmann::json revoke(const nlohmann::json& request);
    nlohmann::json approve(const nlohmann::json& request);
    nlohmann::json configGet(const nlohmann::json& request) const;
    nlohmann::json configSet(const nlohmann::json& request);
    nlohmann::json agent() const;
    nlohmann::json activity(const nlohmann::json& request) const;
    nlohmann::json deviceSettings(const nlohmann::json& request);
    nlohmann::json decide(const nlohmann::json& request);

    // The final line of a pair request.
    static nlohmann::json pairingEnded(const PairingEnded& ended);

private:
    RelayController& controller_;
    std::vector<std::string> warnings_;
    std::string portNote_;
};

// {"error": message}
nlohmann::json errorAnswer(const std::string& message);
// {"error": message, "usage": true}: the request itself was wrong (a bad setting, an unknown
// device), which the CLI reports as a usage error.
nlohmann::json usageErrorAnswer(const std::string& message);

// One line for each revoked device whose key the secret store still holds.
std::vector<std::string> keysLeftWarnings(const PairedDeviceStore& store);

}  // namespace kestrel::control
