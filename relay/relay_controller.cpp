#include "relay/relay_controller.hpp"

#include <algorithm>

#include "protocol/pairing.hpp"
#include "protocol/service_type.hpp"

namespace kestrel {
namespace {

constexpr std::string_view socketOverrideKey = "socketOverride";
constexpr std::string_view hideDockIconKey = "hideDockIcon";

template <typename T>
T settingOr(const SettingsStore& settings, std::string_view key, T fallback) {
    const std::optional<nlohmann::json> value = settings.value(key);
    if (!value) return fallback;
    if constexpr (std::is_same_v<T, bool>) {
        return value->is_boolean() ? value->get<bool>() : fallback;
    } else {
        return value->is_string() ? value->get<std::string>() : fallback;
    }
}

}  // namespace

std::string_view pairingResultName(PairingResult result) noexcept {
    switch (result) {
        case PairingResult::paired: return "paired";
        case PairingResult::expired: return "expired";
        case PairingResult::cancelled: return "cancelled";
        case PairingResult::failed: return "failed";
    }
    return "failed";
}

RelayController::RelayController(asio::any_io_executor relayExecutor, Services services,
                                 std::string relayName)
    : relayExecutor_(relayExecutor),
      services_(services),
      store_(services.secrets, services.settings, std::string(keyService)),
      relayName_(std::move(relayName)),
      socketOverride_(settingOr<std::string>(services.settings, socketOverrideKey, "")),
      hideDockIcon_(settingOr<bool>(services.settings, hideDockIconKey, false)),
      pairingTimer_(relayExecutor) {
    store_.load();
    store_.setChangeHandler([this] { publish(DevicesChanged{}); });
}

RelayController::~RelayController() { stop(); }

void RelayController::start(std::uint16_t port) {
    if (listener_) return;
    auto listener = std::make_unique<RelayListener>(
        relayExecutor_, store_, relayName_, [this] { return customSocketPath(); },
        services_.notices);
    listener->setDelegate(this);
    listener->setAgentFailureHandler([this](const AgentFailure& failure) {
        lastAgentFailure_ = failure;
        publish(failure);
    });
    listener->start(port);
    listener_ = std::move(listener);
    services_.advertiser.advertise(relayName_, std::string(relayBonjourServiceType),
                                   *listener_->port());
}

void RelayController::stop() {
    pairingTimer_.cancel();
    if (listener_) {
        services_.advertiser.stop();
        listener_->stop();
    }
}

std::optional<std::uint16_t> RelayController::port() const {
    return listener_ ? listener_->port() : std::nullopt;
}

void RelayController::startPairing(double seconds) {
    const std::string code = Pairing::generateCode(Pairing::secureCodeSource);
    if (pairingWindow_) {
        endPairing(
            {PairingResult::cancelled, std::nullopt, std::string(replacedMessage), *pairingCode_});
    }
    pairingWindow_.emplace(code, maxPairingAttempts);
    pairingCode_ = code;
    const auto length = std::chrono::duration_cast<ContinuousClock::duration>(
        std::chrono::duration<double>(seconds));
    pairingDeadline_ = ContinuousClock::now() + length;
    pairingExpiresAt_ = std::chrono::system_clock::now() +
                        std::chrono::duration_cast<std::chrono::system_clock::duration>(length);
    watch_.windowOpened(std::chrono::system_clock::now());

    const std::uint64_t generation = ++pairingGeneration_;
    pairingTimer_.expires_at(pairingDeadline_);
    pairingTimer_.async_wait([this, generation](std::error_code error) {
        // A wait that was cancelled, or that belongs to a window since replaced, ends nothing.
        if (error || generation != pairingGeneration_ || !pairingWindow_) return;
        pairingTimeUp();
    });
    publish(PairingOpened{code, *pairingExpiresAt_});
}

void RelayController::pairingTimeUp() {
    // A handshake that began in time may still finish: the window ends with it.
    if (claim_) {
        pairingTimeUp_ = true;
        return;
    }
    endPairing({PairingResult::expired, std::nullopt, {}, *pairingCode_});
}

void RelayController::cancelPairing() {
    if (pairingWindow_) endPairing({PairingResult::cancelled, std::nullopt, {}, *pairingCode_});
}

void RelayController::endPairing(PairingEnded outcome) {
    lastPairing_ = outcome;
    pairingWindow_.reset();
    pairingCode_.reset();
    pairingExpiresAt_.reset();
    claim_.reset();
    pairingTimeUp_ = false;
    ++pairingGeneration_;
    pairingTimer_.cancel();
    watch_.windowClosed();
    publish(outcome);
}

namespace {

std::optional<DeviceMetadata> metadataOf(const PairedDeviceStore& store, const UUID& deviceID) {
    for (const DeviceMetadata& device : store.metadata())
        if (device.deviceID == deviceID) return device;
    return std::nullopt;
}

}  // namespace

void RelayController::revoke(const UUID& deviceID) {
    const std::optional<DeviceMetadata> device = metadataOf(store_, deviceID);
    std::optional<std::system_error> storageError;
    try {
        store_.remove(deviceID);
    } catch (const std::system_error& error) {
        storageError = error;
    }
    if (listener_) listener_->closeSessions(deviceID);
    if (storageError) throw *storageError;
    if (device) publish(DeviceRevoked{*device});
}

bool RelayController::approve(const UUID& deviceID) {
    const std::optional<DeviceMetadata> device = metadataOf(store_, deviceID);
    const bool approved = store_.approve(deviceID);
    if (approved && device) publish(DeviceApproved{*device});
    return approved;
}

void RelayController::connectionRefused(const std::string& address, const std::string& reason) {
    publish(ConnectionRefused{address, reason});
}

void RelayController::requestRefused(const std::string& deviceName, const std::string& reason) {
    publish(RequestRefused{deviceName, reason});
}

void RelayController::approvalRequested(const SignApprovals::Request& request) {
    publish(ApprovalRequested{request});
}

void RelayController::requestHandled(const ActivityEntry& activity) {
    activity_.add(activity);
    publish(RequestHandled{activity});
}

bool RelayController::setDeviceSettings(const UUID& deviceID, DeviceSettings settings) {
    return store_.setSettings(deviceID, std::move(settings));
}

bool RelayController::decide(std::uint64_t requestID, ApprovalDecision decision) {
    return listener_ && listener_->signApprovals().decide(requestID, decision);
}

std::vector<SignApprovals::Request> RelayController::waitingApprovals() const {
    if (!listener_) return {};
    return listener_->signApprovals().waiting();
}

void RelayController::setSocketOverride(std::string path) {
    services_.settings.setValue(socketOverrideKey, path);
    socketOverride_ = std::move(path);
    publish(SettingsChanged{});
}

void RelayController::setHideDockIcon(bool hide) {
    services_.settings.setValue(hideDockIconKey, hide);
    hideDockIcon_ = hide;
    publish(SettingsChanged{});
}

bool RelayController::launchAtLogin() const { return services_.loginItem.isEnabled(); }

// Told whether or not the change could be made: the status is what the login item says.
void RelayController::setLaunchAtLogin(bool enabled) {
    try {
        services_.loginItem.setEnabled(enabled);
    } catch (const std::system_error&) {
        publish(SettingsChanged{});
        throw;
    }
    publish(SettingsChanged{});
}

int RelayController::addObserver(std::function<void(const RelayEvent&)> observer) {
    observers_.emplace(nextObserverID_, std::move(observer));
    return nextObserverID_++;
}

void RelayController::removeObserver(int id) { observers_.erase(id); }

void RelayController::publish(const RelayEvent& event) {
    // An observer may remove itself (or another) while being told.
    const auto snapshot = observers_;
    for (const auto& [id, observer] : snapshot) {
        if (observers_.contains(id)) observer(event);
    }
}

void RelayController::pairingConnection(const std::string& address) {
    const auto suspect = watch_.connection(address, std::chrono::system_clock::now());
    if (!suspect) return;
    const auto isSuspect = [&](const DeviceMetadata& entry) {
        return entry.deviceID == suspect->deviceID;
    };
    const auto before = store_.metadata();
    const auto device = std::find_if(before.begin(), before.end(), isSuspect);
    if (device == before.end()) return;  // revoked already
    // A device that has connected may be serving the user right now: it is reported, not
    // cut off. One that has not is held until the user says it is theirs.
    const bool hold = !device->lastUsedAt && !device->held;
    const PairingEvidence& evidence = suspect->evidence.front();
    try {
        store_.addEvidence(device->deviceID, evidence, hold);
    } catch (const std::system_error&) {
        // Held in memory all the same; the user is told below.
    }
    const auto after = store_.metadata();
    publish(PairingSuspicion{*std::find_if(after.begin(), after.end(), isSuspect), evidence, hold});
}

std::optional<std::string> RelayController::activePairingCode() {
    if (pairingWindow_ && !claim_ && !pairingTimeUp_ &&
        ContinuousClock::now() >= pairingDeadline_) {
        // The machine slept past the deadline and the timer has not caught up yet.
        pairingTimeUp();
    }
    if (pairingWindow_ && pairingWindow_->isOpen() && !claim_ && !pairingTimeUp_)
        return pairingWindow_->code();
    return std::nullopt;
}

std::optional<RelayListenerDelegate::PairingClaim> RelayController::claimPairingCode(
    const std::string& address) {
    if (!activePairingCode()) return std::nullopt;
    claim_ = Claim{pairingGeneration_, address};
    return pairingGeneration_;
}

bool RelayController::pairingClaimValid(PairingClaim claim) {
    return claim_ && claim_->id == claim;
}

void RelayController::pairingAttemptFailed(PairingClaim claim) {
    if (!pairingClaimValid(claim)) return;
    pairingWindow_->recordFailure();
    endPairing(
        {PairingResult::failed, std::nullopt, std::string(codeUsedUpMessage), *pairingCode_});
}

void RelayController::pairingAbandoned(PairingClaim claim) {
    if (!pairingClaimValid(claim)) return;
    endPairing(
        {PairingResult::failed, std::nullopt, std::string(codeUsedUpMessage), *pairingCode_});
}

void RelayController::pairingCompleted(PairingClaim claim, const PairedDevice& device) {
    // The user cancelled this window or opened a new code: whatever finished late is not theirs
    // to keep.
    if (!pairingClaimValid(claim)) return;
    std::vector<PairingEvidence> evidence =
        watch_.paired(claim_->address, device.deviceID, std::chrono::system_clock::now());
    try {
        store_.add(device, evidence);
    } catch (const std::system_error& error) {
        endPairing({PairingResult::failed, std::nullopt,
                    std::string("the new device could not be stored: ") + error.what(),
                    *pairingCode_});
        return;
    }
    pairingWindow_->recordSuccess();
    const bool held = !evidence.empty();
    endPairing({PairingResult::paired,
                DeviceMetadata{device.deviceID, device.displayName, device.pairedAt, std::nullopt,
                               held, std::move(evidence)},
                {},
                *pairingCode_});
}

void RelayController::deviceConnected(const UUID& deviceID) {
    store_.touch(deviceID, std::chrono::system_clock::now());
}

}  // namespace kestrel
