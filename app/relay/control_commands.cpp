#include "app/relay/control_commands.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <variant>

#include "app/relay/control_protocol.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/agent_forwarder.hpp"
#include "relay/sign_purpose.hpp"

namespace kestrel::control {
namespace {

using Json = nlohmann::json;

constexpr double maxPairingSeconds = 3600;

const Json* member(const Json& request, std::string_view key) {
    const auto found = request.find(key);
    return found == request.end() ? nullptr : &*found;
}

std::optional<bool> parseBool(const Json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (!value.is_string()) return std::nullopt;
    static const std::map<std::string, bool> words = {
        {"true", true},   {"yes", true}, {"on", true},   {"1", true},
        {"false", false}, {"no", false}, {"off", false}, {"0", false},
    };
    const auto found = words.find(value.get<std::string>());
    return found == words.end() ? std::nullopt : std::optional<bool>(found->second);
}

Json evidenceJson(const DeviceMetadata& device) {
    Json list = Json::array();
    for (const PairingEvidence& evidence : device.evidence) {
        Json entry = encodePairingEvidence({evidence}).front();
        entry["firstSeen"] = isoDate(evidence.firstSeen);
        entry["lastSeen"] = isoDate(evidence.lastSeen);
        entry["description"] = evidence.description(device.displayName);
        list.push_back(entry);
    }
    return list;
}

Json deviceJson(const DeviceMetadata& device) {
    return {{"deviceID", device.deviceID.uuidString()},
            {"displayName", device.displayName},
            {"pairedAt", isoDate(device.pairedAt)},
            {"lastUsedAt", device.lastUsedAt ? Json(isoDate(*device.lastUsedAt)) : Json(nullptr)},
            {"held", device.held},
            {"evidence", evidenceJson(device)}};
}

Json settingsJson(const DeviceSettings& settings) {
    return {{"approval", approvalName(settings.approval)},
            {"keys", settings.allowedKeys ? Json(*settings.allowedKeys) : Json("all")}};
}

Json activityJson(const ActivityEntry& entry) {
    Json purpose = nullptr;
    if (entry.purpose) {
        purpose = {{"kind", signPurposeKindName(entry.purpose->kind)},
                   {"dataLength", entry.purpose->dataLength},
                   {"description", entry.purpose->description()}};
        if (entry.purpose->kind != SignPurpose::Kind::data)
            purpose["name"] = decodeUTF8Lossy(asBytes(entry.purpose->name));
    }
    const bool sign = entry.kind == ActivityKind::sign && !entry.keyFingerprint.empty();
    return {{"requestID", entry.requestID},
            {"at", isoDate(entry.at)},
            {"deviceName", entry.deviceName},
            {"deviceID", entry.deviceID ? Json(entry.deviceID->uuidString()) : Json(nullptr)},
            {"kind", activityKindName(entry.kind)},
            {"keyFingerprint", sign ? Json(entry.keyFingerprint) : Json(nullptr)},
            {"keyComment",
             entry.keyComment ? Json(decodeUTF8Lossy(asBytes(*entry.keyComment))) : Json(nullptr)},
            {"purpose", purpose},
            {"detail", sign ? Json(entry.detail()) : Json(nullptr)},
            {"result", activityResultName(entry.result)},
            {"reason", entry.reason.empty() ? Json(nullptr) : Json(entry.reason)}};
}

Json waitingJson(const SignApprovals::Request& request) {
    return {{"requestID", request.requestID},
            {"deviceName", request.deviceName},
            {"deviceID", request.deviceID.uuidString()},
            {"keyFingerprint", request.keyFingerprint},
            {"detail", request.detail},
            {"since", isoDate(request.since)}};
}

// The one device named by its ID or its name, or an error answer.
std::variant<DeviceMetadata, Json> findDevice(RelayController& controller, const Json* given,
                                              std::string_view what) {
    if (given == nullptr || !given->is_string() || given->get<std::string>().empty()) {
        return usageErrorAnswer("name the device to " + std::string(what) +
                                " by its ID or its name");
    }
    const std::string text = given->get<std::string>();
    const std::optional<UUID> id = UUID::fromString(text);
    std::vector<DeviceMetadata> matches;
    for (const DeviceMetadata& device : controller.store().metadata()) {
        if (id ? device.deviceID == *id : device.displayName == text) matches.push_back(device);
    }
    if (matches.empty())
        return usageErrorAnswer("no paired device has the " + std::string(id ? "ID" : "name") +
                                " \"" + text + "\"");
    if (matches.size() > 1) {
        return usageErrorAnswer(std::to_string(matches.size()) + " devices are named \"" + text +
                                "\"; " + std::string(what) +
                                " one by its ID (see kestrel-relay devices)");
    }
    return matches.front();
}

double secondsUntil(Date date) {
    const auto left =
        std::chrono::duration<double>(date - std::chrono::system_clock::now()).count();
    return left > 0 ? left : 0;
}

// A custom socket path that can never serve, or none.
std::optional<std::string> refusedSocketOverride(const std::string& path) {
    if (path.empty()) return std::nullopt;  // none: the other candidates are used
    if (auto reason = AgentForwarder::skipReason(path)) {
        return "socket-override \"" + path + "\" is refused: " + *reason;
    }
    if (path.size() > AgentForwarder::maxSocketPathLength) {
        return "socket-override is refused: a socket path is at most " +
               std::to_string(AgentForwarder::maxSocketPathLength) + " bytes";
    }
    return std::nullopt;
}

// What a custom path that does not serve yet means for the requests to come.
std::string consequence(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored))
        return "; agent requests fail until an agent listens there";
    return "; until it exists, the next agent socket found is used (see kestrel-relay agent)";
}

Json agentFailureJson(const AgentFailure& failure) {
    return {{"deviceName", failure.deviceName},
            {"socketPath", failure.socketPath ? Json(*failure.socketPath) : Json(nullptr)},
            {"reason", failure.reason},
            {"at", isoDate(failure.at)},
            {"line", agentFailureLine(failure)}};
}

std::string_view advertisingStateName(ServiceAdvertiser::State state) {
    switch (state) {
        case ServiceAdvertiser::State::unavailable: return "unavailable";
        case ServiceAdvertiser::State::registering: return "registering";
        case ServiceAdvertiser::State::advertised: return "advertised";
        case ServiceAdvertiser::State::failed: return "failed";
    }
    return "unavailable";
}

}  // namespace

Json errorAnswer(const std::string& message) { return {{"error", message}}; }

Json usageErrorAnswer(const std::string& message) { return {{"error", message}, {"usage", true}}; }

std::vector<std::string> keysLeftWarnings(const PairedDeviceStore& store) {
    std::vector<std::string> lines;
    for (const auto& [deviceID, reason] : store.keysAwaitingDeletion()) {
        lines.push_back("the key of revoked device " + deviceID.uuidString() +
                        " is still in the secret store (" + reason +
                        "); deleting it is tried again at the next start");
    }
    return lines;
}

Json ControlCommands::handle(const Json& request) {
    const Json* command = request.is_object() ? member(request, "command") : nullptr;
    if (command == nullptr || !command->is_string()) return errorAnswer("request has no command");
    const std::string name = command->get<std::string>();
    if (name == "status") return status();
    if (name == "pair") return pair(request);
    if (name == "cancel-pairing") return cancelPairing();
    if (name == "devices") return devices();
    if (name == "revoke") return revoke(request);
    if (name == "approve") return approve(request);
    if (name == "config-get") return configGet(request);
    if (name == "config-set") return configSet(request);
    if (name == "agent") return agent();
    if (name == "activity") return activity(request);
    if (name == "device-settings") return deviceSettings(request);
    if (name == "decide") return decide(request);
    return errorAnswer("unknown command \"" + name + "\"");
}

Json ControlCommands::status() const {
    ServiceAdvertiser& advertiser = controller_.advertiser();
    Json pairing = nullptr;
    if (controller_.pairingCode() && controller_.pairingExpiresAt()) {
        pairing = {
            {"code", *controller_.pairingCode()},
            {"expiresAt", isoDate(*controller_.pairingExpiresAt())},
            {"secondsLeft", static_cast<int>(secondsUntil(*controller_.pairingExpiresAt()) + 0.5)}};
    }
    Json unavailable = Json::array();
    for (const auto& device : controller_.store().unavailableDevices()) {
        Json entry = deviceJson(device.metadata);
        entry["reason"] = device.reason;
        unavailable.push_back(entry);
    }
    Json warnings = warnings_;
    if (const auto& warning = controller_.store().warning()) warnings.push_back(*warning);
    Json held = Json::array();
    for (const DeviceMetadata& device : controller_.store().metadata()) {
        if (device.held) held.push_back(deviceJson(device));
        if (device.held) continue;
        for (const PairingEvidence& evidence : device.evidence)
            warnings.push_back(evidence.description(device.displayName));
    }
    for (const std::string& line : keysLeftWarnings(controller_.store())) warnings.push_back(line);
    Json answer = {
        {"running", controller_.isRunning()},
        {"port", controller_.port() ? Json(*controller_.port()) : Json(nullptr)},
        {"portNote", portNote_.empty() ? Json(nullptr) : Json(portNote_)},
        {"relayName", controller_.relayName()},
        {"advertising",
         {{"state", advertisingStateName(advertiser.state())},
          {"description", advertiser.stateDescription()}}},
        {"pairing", pairing},
        {"lastPairing",
         controller_.lastPairing() ? pairingEnded(*controller_.lastPairing()) : Json(nullptr)},
        {"deviceCount", controller_.store().metadata().size()},
        {"unavailableDevices", unavailable},
        {"heldDevices", held},
        {"secretStore", controller_.secretStore().kind()},
        {"lastAgentFailure", controller_.lastAgentFailure()
                                 ? agentFailureJson(*controller_.lastAgentFailure())
                                 : Json(nullptr)},
        {"warnings", warnings},
    };
    Json waiting = Json::array();
    for (const auto& request : controller_.waitingApprovals())
        waiting.push_back(waitingJson(request));
    answer["waitingForApproval"] = waiting;
    answer["agent"] = agent();
    return answer;
}

Json ControlCommands::pair(const Json& request) {
    double seconds = RelayController::defaultPairingSeconds;
    if (const Json* value = member(request, "seconds")) {
        if (!value->is_number() || value->get<double>() < 1 ||
            value->get<double>() > maxPairingSeconds) {
            return usageErrorAnswer("seconds must be a number from 1 to 3600");
        }
        seconds = value->get<double>();
    }
    if (!controller_.isRunning()) return errorAnswer("the relay is not listening");
    const bool replacing = controller_.pairingCode().has_value();
    controller_.startPairing(seconds);
    return {{"code", *controller_.pairingCode()},
            {"expiresAt", isoDate(*controller_.pairingExpiresAt())},
            {"secondsLeft", static_cast<int>(seconds + 0.5)},
            {"replacedOpenCode", replacing}};
}

Json ControlCommands::pairingEnded(const PairingEnded& ended) {
    Json answer = {{"result", pairingResultName(ended.result)}, {"code", ended.code}};
    if (ended.device) answer.update(deviceJson(*ended.device));
    if (!ended.message.empty()) answer["message"] = ended.message;
    return answer;
}

Json ControlCommands::cancelPairing() {
    const bool open = controller_.pairingCode().has_value();
    controller_.cancelPairing();
    return {{"result", open ? "cancelled" : "none"}};
}

Json ControlCommands::devices() const {
    Json list = Json::array();
    const auto unavailable = controller_.store().unavailableDevices();
    for (const DeviceMetadata& device : controller_.store().metadata()) {
        Json entry = deviceJson(device);
        entry.update(settingsJson(controller_.store().settings(device.deviceID)));
        entry["available"] = true;
        for (const auto& missing : unavailable) {
            if (missing.metadata.deviceID != device.deviceID) continue;
            entry["available"] = false;
            entry["reason"] = missing.reason;
        }
        list.push_back(entry);
    }
    return {{"devices", list}};
}

Json ControlCommands::revoke(const Json& request) {
    const auto found = findDevice(controller_, member(request, "device"), "revoke");
    if (const Json* error = std::get_if<Json>(&found)) return *error;
    const DeviceMetadata& device = std::get<DeviceMetadata>(found);
    try {
        controller_.revoke(device.deviceID);
    } catch (const std::system_error& error) {
        return errorAnswer("the device was disconnected but could not be removed from storage: " +
                           std::string(error.what()));
    }
    Json answer = {
        {"revoked",
         {{"deviceID", device.deviceID.uuidString()}, {"displayName", device.displayName}}}};
    const auto& keysLeft = controller_.store().keysAwaitingDeletion();
    if (const auto left = keysLeft.find(device.deviceID); left != keysLeft.end()) {
        answer["warning"] = "its key could not be deleted from the secret store (" + left->second +
                            "); it is deleted when the relay next starts";
    }
    return answer;
}

Json ControlCommands::approve(const Json& request) {
    const auto found = findDevice(controller_, member(request, "device"), "approve");
    if (const Json* error = std::get_if<Json>(&found)) return *error;
    const DeviceMetadata& device = std::get<DeviceMetadata>(found);
    if (!device.held && device.evidence.empty()) {
        return errorAnswer("\u201C" + device.displayName +
                           "\u201D is not held; it can use the agent already");
    }
    try {
        controller_.approve(device.deviceID);
    } catch (const std::system_error& error) {
        return errorAnswer("could not store the approval, so the device stays held: " +
                           std::string(error.what()));
    }
    return {{"approved",
             {{"deviceID", device.deviceID.uuidString()}, {"displayName", device.displayName}}}};
}

Json ControlCommands::activity(const Json& request) const {
    const Json* device = member(request, "device");
    if (device != nullptr && (!device->is_string() || device->get<std::string>().empty()))
        return usageErrorAnswer("name the device by its ID or its name");
    // Not only the paired devices: the activity of one revoked since is still worth seeing.
    const std::string wanted = device != nullptr ? device->get<std::string>() : "";
    const std::optional<UUID> wantedID = UUID::fromString(wanted);
    Json list = Json::array();
    for (const ActivityEntry& entry : controller_.activity().entries()) {
        if (device != nullptr &&
            !(wantedID ? entry.deviceID == wantedID : entry.deviceName == wanted))
            continue;
        list.push_back(activityJson(entry));
    }
    Json waiting = Json::array();
    for (const auto& waitingRequest : controller_.waitingApprovals()) {
        if (device == nullptr ||
            (wantedID ? waitingRequest.deviceID == *wantedID : waitingRequest.deviceName == wanted))
            waiting.push_back(waitingJson(waitingRequest));
    }
    return {{"activity", list}, {"waitingForApproval", waiting}};
}

Json ControlCommands::deviceSettings(const Json& request) {
    const auto found = findDevice(controller_, member(request, "device"), "change");
    if (const Json* error = std::get_if<Json>(&found)) return *error;
    const DeviceMetadata& device = std::get<DeviceMetadata>(found);
    DeviceSettings settings = controller_.store().settings(device.deviceID);
    if (const Json* approval = member(request, "approval")) {
        if (*approval == "ask")
            settings.approval = DeviceSettings::Approval::ask;
        else if (*approval == "allow")
            settings.approval = DeviceSettings::Approval::allow;
        else
            return usageErrorAnswer("approval takes ask or allow");
    }
    if (const Json* keys = member(request, "keys")) {
        if (*keys == "all") {
            settings.allowedKeys.reset();
        } else if (keys->is_array()) {
            std::vector<std::string> fingerprints;
            for (const Json& key : *keys) {
                const std::string fingerprint = key.is_string() ? key.get<std::string>() : "";
                if (!isKeyFingerprint(fingerprint)) {
                    return usageErrorAnswer(
                        "\"" + (key.is_string() ? fingerprint : key.dump()) +
                        "\" is not a key fingerprint; give them as ssh-add -l prints them "
                        "(SHA256: and 43 characters), or all");
                }
                if (std::find(fingerprints.begin(), fingerprints.end(), fingerprint) ==
                    fingerprints.end())
                    fingerprints.push_back(fingerprint);
            }
            settings.allowedKeys = std::move(fingerprints);
        } else {
            return usageErrorAnswer("keys takes a list of key fingerprints, or all");
        }
    }
    try {
        controller_.setDeviceSettings(device.deviceID, settings);
    } catch (const std::system_error& error) {
        return errorAnswer("could not store the device's settings, so they are unchanged: " +
                           std::string(error.what()));
    }
    Json answer = {{"deviceID", device.deviceID.uuidString()}, {"displayName", device.displayName}};
    answer.update(settingsJson(controller_.store().settings(device.deviceID)));
    return {{"device", answer}};
}

Json ControlCommands::decide(const Json& request) {
    const Json* id = member(request, "request");
    const Json* decision = member(request, "decision");
    if (id == nullptr || !id->is_number_unsigned())
        return usageErrorAnswer("name the request by its number (see kestrel-relay activity)");
    static const std::map<std::string, ApprovalDecision> decisions = {
        {"allow", ApprovalDecision::allow},
        {"allow-10-minutes", ApprovalDecision::allowForTenMinutes},
        {"deny", ApprovalDecision::deny},
    };
    const auto chosen = decision != nullptr && decision->is_string()
                            ? decisions.find(decision->get<std::string>())
                            : decisions.end();
    if (chosen == decisions.end())
        return usageErrorAnswer("decision takes allow, allow-10-minutes or deny");
    const auto requestID = id->get<std::uint64_t>();
    std::optional<SignApprovals::Request> waiting;
    for (const auto& candidate : controller_.waitingApprovals()) {
        if (candidate.requestID == requestID) waiting = candidate;
    }
    if (!waiting || !controller_.decide(requestID, chosen->second)) {
        return usageErrorAnswer("no sign request " + std::to_string(requestID) +
                                " waits for an answer (it may have been answered or run out of "
                                "time; see kestrel-relay activity)");
    }
    Json answer = waitingJson(*waiting);
    answer["decision"] = chosen->first;
    return {{"decided", answer}};
}

Json ControlCommands::configGet(const Json& request) const {
    const Json* key = member(request, "key");
    const std::string name = key != nullptr && key->is_string() ? key->get<std::string>() : "";
    if (name == "socket-override") return {{"key", name}, {"value", controller_.socketOverride()}};
    if (name == "hide-dock-icon") return {{"key", name}, {"value", controller_.hideDockIcon()}};
    if (name == "launch-at-login") return {{"key", name}, {"value", controller_.launchAtLogin()}};
    if (name == "secret-store") {
        Json answer = {{"key", name}, {"value", controller_.secretStore().kind()}};
        const auto wanted = controller_.settings().value("secretStoreWanted");
        if (wanted && wanted->is_string()) answer["atNextStart"] = *wanted;
        return answer;
    }
    return usageErrorAnswer("unknown setting \"" + name +
                            "\" (known: socket-override, hide-dock-icon, launch-at-login, "
                            "secret-store)");
}

Json ControlCommands::configSet(const Json& request) {
    const Json* key = member(request, "key");
    const Json* value = member(request, "value");
    const std::string name = key != nullptr && key->is_string() ? key->get<std::string>() : "";
    if (value == nullptr) return usageErrorAnswer("config-set needs a value");
    std::optional<std::string> warning;
    try {
        if (name == "socket-override") {
            if (!value->is_string())
                return usageErrorAnswer("socket-override takes a path (or \"\" for none)");
            const std::string path = value->get<std::string>();
            if (auto refusal = refusedSocketOverride(path)) return usageErrorAnswer(*refusal);
            controller_.setSocketOverride(path);
            // Kept all the same: the agent may simply not be running yet.
            if (auto problem = path.empty() ? std::nullopt : AgentForwarder::listeningProblem(path))
                warning = path + ": " + *problem + consequence(path);
        } else if (name == "hide-dock-icon" || name == "launch-at-login") {
            const std::optional<bool> flag = parseBool(*value);
            if (!flag) return usageErrorAnswer(name + " takes true or false");
            if (name == "hide-dock-icon")
                controller_.setHideDockIcon(*flag);
            else
                controller_.setLaunchAtLogin(*flag);
        } else if (name == "secret-store") {
            const std::string kind = value->is_string() ? value->get<std::string>() : "";
            if (kind != "auto" && kind != "file" && kind != "secret-service")
                return usageErrorAnswer("secret-store takes auto, file or secret-service");
            // The running relay's sessions hold the open store; the keys move at the next
            // start, before any device connects.
            controller_.settings().setValue("secretStoreWanted", kind);
            warning = "the relay keeps its keys in " +
                      std::string(controller_.secretStore().kind()) +
                      " until it restarts; the keys move then (stop it and run kestrel-relay "
                      "serve again)";
        } else {
            return configGet(request);
        }
    } catch (const std::system_error& error) {
        return errorAnswer("could not change " + name + ": " + error.what());
    }
    Json answer = configGet(request);
    if (warning) answer["warning"] = *warning;
    return answer;
}

Json ControlCommands::agent() const {
    const std::optional<std::string> custom = controller_.customSocketPath();
    Json candidates = Json::array();
    for (const AgentSocketCandidate& candidate : AgentForwarder::socketCandidates(custom)) {
        std::error_code ignored;
        const std::optional<std::string> skipped = AgentForwarder::skipReason(candidate.path);
        candidates.push_back(
            {{"label", candidate.label},
             {"path", candidate.path},
             {"exists", !skipped && std::filesystem::exists(candidate.path, ignored)},
             {"skipped", skipped ? Json(*skipped) : Json(nullptr)}});
    }
    const std::optional<std::string> inUse = AgentForwarder::resolveSocketPath(custom);
    return {{"candidates", candidates}, {"inUse", inUse ? Json(*inUse) : Json(nullptr)}};
}

}  // namespace kestrel::control
