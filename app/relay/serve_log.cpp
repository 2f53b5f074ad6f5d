#include "app/relay/serve_log.hpp"

#include <chrono>
#include <ctime>
#include <iostream>

#include "app/relay/control_protocol.hpp"
#include "app/relay/relay_runtime.hpp"
#include "app/relay/secret_store_choice.hpp"
#include "platform/secret_store.hpp"
#include "relay/agent_forwarder.hpp"

namespace kestrel::cli {
namespace {

using Json = nlohmann::json;

// Local time, for a person reading the log: "2026-12-11 14:05:09", and for machines the same
// moment with its offset, "2026-12-11T14:05:09+01:00".
struct Stamp {
    std::string text;
    std::string iso;
};

Stamp at(std::time_t seconds) {
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    char iso[40];
    char offset[8];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(offset, sizeof offset, "%z", &local);  // +0100
    const std::string zone(offset);
    return {text, std::string(iso) + zone.substr(0, 3) + ":" + zone.substr(3)};
}

Stamp now() { return at(std::time(nullptr)); }

std::string quoted(const std::string& name) { return "\u201C" + name + "\u201D"; }

Json deviceFields(const DeviceMetadata& device) {
    return {{"deviceID", device.deviceID.uuidString()}, {"displayName", device.displayName}};
}

std::string device(const DeviceMetadata& device) {
    return quoted(device.displayName) + " (" + device.deviceID.uuidString() + ")";
}

// The agent socket in use and where it was found.
std::string agentLine(const RelayController& controller, const std::optional<std::string>& path) {
    if (!path)
        return "none found (start an agent, or: kestrel-relay config set socket-override PATH)";
    for (const AgentSocketCandidate& candidate :
         AgentForwarder::socketCandidates(controller.customSocketPath())) {
        if (candidate.path == *path) return candidate.path + " (" + candidate.label + ")";
    }
    return *path;
}

}  // namespace

ServeLog::ServeLog(asio::any_io_executor executor, bool json)
    : json_(json), minute_(std::move(executor)) {}

void ServeLog::write(const std::string& kind, Json fields, const std::string& line) {
    const Stamp stamp = now();
    std::cerr << stamp.text << " kestrel-relay: " << line << std::endl;
    if (!json_) return;
    fields["time"] = stamp.iso;
    fields["event"] = kind;
    std::cout << fields.dump() << std::endl;
}

void ServeLog::started(RelayRuntime& runtime) {
    const RelayController& controller = runtime.controller();
    const std::optional<std::string> agent = runtime.agentSocket();
    const std::string store = storeName(runtime.controller().secretStore().kind());
    write("started",
          {{"port", *controller.port()},
           {"portNote", runtime.portNote()},
           {"relayName", controller.relayName()},
           {"agentSocket", agent ? Json(*agent) : Json(nullptr)},
           {"secretStore", runtime.controller().secretStore().kind()},
           {"controlSocket", control::socketPath()}},
          "started: relay " + quoted(controller.relayName()) + " on port " +
              std::to_string(*controller.port()) + " (" + runtime.portNote() +
              "); agent socket: " + agentLine(controller, agent) + "; device keys in " + store);
}

void ServeLog::note(const std::string& text) { write("note", {{"text", text}}, text); }

void ServeLog::warning(const std::string& text) {
    write("warning", {{"text", text}}, "warning: " + text);
}

void ServeLog::event(const RelayEvent& event) {
    if (const auto* opened = std::get_if<PairingOpened>(&event)) {
        // The code itself stays out of the log: it is for the device in the user's hand.
        const Stamp until = at(std::chrono::system_clock::to_time_t(opened->expiresAt));
        write("pairingOpened", {{"expiresAt", until.iso}},
              "pairing opened, until " + until.text.substr(until.text.size() - 8));
    } else if (const auto* ended = std::get_if<PairingEnded>(&event)) {
        if (ended->result == PairingResult::paired && ended->device) {
            const DeviceMetadata& paired = *ended->device;
            Json fields = deviceFields(paired);
            fields["held"] = paired.held;
            write("paired", fields,
                  "paired " + device(paired) +
                      (paired.held ? "; HELD until approved (kestrel-relay approve ID)" : ""));
            for (const PairingEvidence& evidence : paired.evidence)
                warning(evidence.description(paired.displayName));
            return;
        }
        const std::string result(pairingResultName(ended->result));
        std::string line = ended->result == PairingResult::expired     ? "the code expired"
                           : ended->result == PairingResult::cancelled ? "cancelled"
                                                                       : "failed";
        if (!ended->message.empty()) line += ": " + ended->message;
        write("pairingClosed", {{"result", result}, {"message", ended->message}},
              "pairing closed: " + line);
    } else if (const auto* suspicion = std::get_if<PairingSuspicion>(&event)) {
        Json fields = deviceFields(suspicion->device);
        fields["held"] = suspicion->held;
        fields["evidence"] = suspicion->evidence.description(suspicion->device.displayName);
        write("pairingSuspicion", fields,
              "warning: " + fields["evidence"].get<std::string>() +
                  (suspicion->held ? "; it is HELD until approved" : ""));
    } else if (const auto* approved = std::get_if<DeviceApproved>(&event)) {
        write("approved", deviceFields(approved->device), "approved " + device(approved->device));
    } else if (const auto* revoked = std::get_if<DeviceRevoked>(&event)) {
        write("revoked", deviceFields(revoked->device), "revoked " + device(revoked->device));
    } else if (const auto* failure = std::get_if<AgentFailure>(&event)) {
        write("agentFailure",
              {{"displayName", failure->deviceName},
               {"agentSocket", failure->socketPath ? Json(*failure->socketPath) : Json(nullptr)},
               {"reason", failure->reason}},
              agentFailureLine(*failure));
    } else if (const auto* asked = std::get_if<ApprovalRequested>(&event)) {
        const SignApprovals::Request& request = asked->request;
        const std::string id = std::to_string(request.requestID);
        write("approvalRequested",
              {{"requestID", request.requestID},
               {"displayName", request.deviceName},
               {"keyFingerprint", request.keyFingerprint},
               {"detail", request.detail}},
              "sign request " + id + " from " + quoted(request.deviceName) +
                  " waits for you: " + request.detail + " (kestrel-relay allow " + id +
                  ", allow --for-10-minutes " + id + ", or deny " + id + ")");
    } else if (const auto* handled = std::get_if<RequestHandled>(&event)) {
        // Refusals and agent failures have lines of their own; list-keys requests say nothing
        // worth a line.
        const ActivityEntry& activity = handled->activity;
        if (activity.kind != ActivityKind::sign || (activity.result != ActivityResult::answered &&
                                                    activity.result != ActivityResult::denied))
            return;
        std::string line = "sign request " + std::to_string(activity.requestID) + " from " +
                           quoted(activity.deviceName) + ": " + activity.detail();
        if (activity.result == ActivityResult::denied)
            line += "; denied (" + activity.reason + ")";
        else if (!activity.reason.empty())
            line += "; " + activity.reason;
        write("signRequest",
              {{"requestID", activity.requestID},
               {"displayName", activity.deviceName},
               {"keyFingerprint", activity.keyFingerprint},
               {"purpose", activity.purpose ? signPurposeKindName(activity.purpose->kind) : "data"},
               {"detail", activity.detail()},
               {"result", activityResultName(activity.result)},
               {"reason", activity.reason}},
              line);
    } else if (const auto* connection = std::get_if<ConnectionRefused>(&event)) {
        refused(Refusal::connection, connection->address,
                {{"address", connection->address}, {"reason", connection->reason}},
                "refused a connection from " + connection->address +
                    " before it authenticated: " + connection->reason);
    } else if (const auto* request = std::get_if<RequestRefused>(&event)) {
        refused(Refusal::request, request->deviceName,
                {{"displayName", request->deviceName}, {"reason", request->reason}},
                "refused a request from " + quoted(request->deviceName) + ": " + request->reason);
    }
}

void ServeLog::refused(Refusal kind, const std::string& source, Json fields,
                       const std::string& line) {
    RefusalWindow& window = refusals_[kind];
    if (!minuteRunning_) {
        minuteRunning_ = true;
        minute_.expires_after(std::chrono::minutes(1));
        minute_.async_wait([this](std::error_code error) {
            if (error) return;
            minuteRunning_ = false;
            summarize();
        });
    }
    if (window.written < refusalsWrittenPerMinute) {
        ++window.written;
        write(kind == Refusal::connection ? "connectionRefused" : "requestRefused",
              std::move(fields), line);
        return;
    }
    ++window.heldBack;
    window.sources.insert(source);
}

void ServeLog::summarize() {
    for (auto& [kind, window] : refusals_) {
        if (window.heldBack > 0) {
            const bool connections = kind == Refusal::connection;
            const std::string count = std::to_string(window.heldBack);
            const bool several = window.sources.size() != 1;
            const std::string from = std::to_string(window.sources.size()) +
                                     (connections ? (several ? " addresses" : " address")
                                                  : (several ? " devices" : " device"));
            write(connections ? "connectionsRefused" : "requestsRefused",
                  {{"count", window.heldBack}, {"sources", window.sources.size()}},
                  "refused " + count + " more " + (connections ? "connection" : "request") +
                      (window.heldBack == 1 ? "" : "s") +
                      (connections ? " before authentication" : "") + " in the last minute, from " +
                      from);
        }
        window = {};
    }
}

void ServeLog::stopped(const std::string& why) {
    minute_.cancel();
    summarize();
    write("stopped", {{"reason", why}}, "stopped (" + why + ")");
}

}  // namespace kestrel::cli
