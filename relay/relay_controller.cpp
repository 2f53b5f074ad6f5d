#include "relay/relay_controller.hpp"

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
        relayExecutor_, store_, relayName_,
        [this]() -> std::optional<std::string> {
            if (socketOverride_.empty()) return std::nullopt;
            return socketOverride_;
        },
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
    if (pairingWindow_)
        endPairing({PairingResult::cancelled, std::nullopt, "a new code replaced it"});
    pairingWindow_.emplace(code, maxPairingAttempts);
    pairingClaimed_ = false;
    pairingCode_ = code;
    const auto length = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    pairingExpiresAt_ = std::chrono::system_clock::now() +
                        std::chrono::duration_cast<std::chrono::system_clock::duration>(length);

    const std::uint64_t generation = ++pairingGeneration_;
    pairingTimer_.expires_after(length);
    pairingTimer_.async_wait([this, generation](std::error_code error) {
        // A wait that was cancelled, or that belongs to a window since replaced, ends nothing.
        if (error || generation != pairingGeneration_ || !pairingWindow_) return;
        endPairing({PairingResult::expired, std::nullopt, {}});
    });
    publish(PairingOpened{code, *pairingExpiresAt_});
}

void RelayController::cancelPairing() {
    if (pairingWindow_) endPairing({PairingResult::cancelled, std::nullopt, {}});
}

void RelayController::endPairing(PairingEnded outcome) {
    lastPairing_ = outcome;
    pairingWindow_.reset();
    pairingCode_.reset();
    pairingExpiresAt_.reset();
    ++pairingGeneration_;
    pairingTimer_.cancel();
    publish(outcome);
}

void RelayController::revoke(const UUID& deviceID) {
    std::optional<std::system_error> storageError;
    try {
        store_.remove(deviceID);
    } catch (const std::system_error& error) {
        storageError = error;
    }
    if (listener_) listener_->closeSessions(deviceID);
    if (storageError) throw *storageError;
}

void RelayController::setSocketOverride(std::string path) {
    services_.settings.setValue(socketOverrideKey, path);
    socketOverride_ = std::move(path);
}

void RelayController::setHideDockIcon(bool hide) {
    services_.settings.setValue(hideDockIconKey, hide);
    hideDockIcon_ = hide;
}

bool RelayController::launchAtLogin() const { return services_.loginItem.isEnabled(); }

void RelayController::setLaunchAtLogin(bool enabled) { services_.loginItem.setEnabled(enabled); }

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

std::optional<std::string> RelayController::activePairingCode() {
    if (pairingWindow_ && pairingWindow_->isOpen() && !pairingClaimed_)
        return pairingWindow_->code();
    return std::nullopt;
}

std::optional<RelayListenerDelegate::PairingClaim> RelayController::claimPairingCode() {
    if (!activePairingCode()) return std::nullopt;
    pairingClaimed_ = true;
    return pairingGeneration_;
}

void RelayController::pairingAttemptFailed(PairingClaim claim) {
    if (!pairingWindow_ || claim != pairingGeneration_) return;
    pairingWindow_->recordFailure();
    endPairing({PairingResult::failed, std::nullopt, std::string(codeUsedUpMessage)});
}

void RelayController::pairingAbandoned(PairingClaim claim) {
    if (!pairingWindow_ || claim != pairingGeneration_) return;
    endPairing({PairingResult::failed, std::nullopt, std::string(codeUsedUpMessage)});
}

void RelayController::pairingCompleted(PairingClaim claim, const PairedDevice& device) {
    // A handshake that began before its window expired may still finish: the device is stored.
    try {
        store_.add(device);
    } catch (const std::system_error& error) {
        if (claim == pairingGeneration_) {
            endPairing({PairingResult::failed, std::nullopt,
                        std::string("the new device could not be stored: ") + error.what()});
        }
        return;
    }
    PairingEnded paired{
        PairingResult::paired,
        DeviceMetadata{device.deviceID, device.displayName, device.pairedAt, std::nullopt},
        {}};
    if (claim != pairingGeneration_) {
        lastPairing_ = paired;
        publish(paired);
        return;
    }
    if (pairingWindow_) pairingWindow_->recordSuccess();
    endPairing(paired);
}

void RelayController::deviceConnected(const UUID& deviceID) {
    store_.touch(deviceID, std::chrono::system_clock::now());
}

}  // namespace kestrel
