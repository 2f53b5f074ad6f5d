#pragma once

// The relay's state, owning everything else: the device store, the listener once started, the
// pairing window and its deadline, and the user's settings. Sessions reach it as the listener's
// delegate; the control socket and the tray drive it and observe its events. Relay thread only.

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/login_item.hpp"
#include "platform/notice_presenter.hpp"
#include "platform/secret_store.hpp"
#include "platform/service_advertiser.hpp"
#include "platform/settings_store.hpp"
#include "protocol/date.hpp"
#include "protocol/pairing_window.hpp"
#include "relay/continuous_clock.hpp"
#include "relay/paired_device_store.hpp"
#include "relay/pairing_evidence.hpp"
#include "relay/relay_listener.hpp"

namespace kestrel {

// How a pairing window ended.
enum class PairingResult { paired, expired, cancelled, failed };

std::string_view pairingResultName(PairingResult result) noexcept;

struct PairingOpened {
    std::string code;
    Date expiresAt;
};

struct PairingEnded {
    PairingResult result;
    std::optional<DeviceMetadata> device;  // the new device, when paired (held, with evidence)
    std::string message;                   // why, when failed or cancelled
    std::string code;                      // the code whose window ended
};

// Another device tried a code after a device used it: the device that used it may not be the
// user's. It is held if it had not connected yet.
struct PairingSuspicion {
    DeviceMetadata device;  // as it is now
    PairingEvidence evidence;
    bool held;  // held by this suspicion (it had not been used yet)
};

struct DevicesChanged {};
// The user let a held device use the agent, or unpaired a device (as they were just before).
struct DeviceApproved {
    DeviceMetadata device;
};
struct DeviceRevoked {
    DeviceMetadata device;
};
// A connection that ended before it authenticated: an unknown device, no code open, a failed
// handshake, a peer that went quiet. A flood makes one per connection: summarize, do not print
// each.
struct ConnectionRefused {
    std::string address;
    std::string reason;
};
// A paired device's request that the relay answered with a failure instead of forwarding it.
struct RequestRefused {
    std::string deviceName;
    std::string reason;
};
// The custom socket path, the Dock setting or launch at login changed (from any front end).
struct SettingsChanged {};
// A sign request waits for the user to allow or deny it.
struct ApprovalRequested {
    SignApprovals::Request request;
};
// A paired device's agent request was answered, whichever way (kept in activity()).
struct RequestHandled {
    ActivityEntry activity;
};

using RelayEvent =
    std::variant<PairingOpened, PairingEnded, DevicesChanged, PairingSuspicion, AgentFailure,
                 SettingsChanged, DeviceApproved, DeviceRevoked, ConnectionRefused, RequestRefused,
                 ApprovalRequested, RequestHandled>;

class RelayController final : public RelayListenerDelegate {
public:
    static constexpr std::int64_t maxPairingAttempts = 5;
    static constexpr double defaultPairingSeconds = 120;
    // The secret-store service of device keys.
    static constexpr std::string_view keyService = "org.kestrel-relay.tidewell.relay.psk";

    struct Services {
        SecretStore& secrets;
        SettingsStore& settings;
        NoticePresenter& notices;
        ServiceAdvertiser& advertiser;
        LoginItem& loginItem;
    };

    // Reads the settings and loads the device store.
    RelayController(asio::any_io_executor relayExecutor, Services services, std::string relayName);
    ~RelayController() override;

    // Creates and starts the listener once; a failure leaves the relay stopped and is thrown, so
    // that a later start can try again.
    void start(std::uint16_t port = 0);
    // Stops the listener and pairing; sessions are closed.
    void stop();

    void startPairing(double seconds = defaultPairingSeconds);
    void cancelPairing();

    // Takes the device out of service, ends its open connections and forgets its key. Throws
    // std::system_error when storage fails (the device is out of service all the same).
    void revoke(const UUID& deviceID);
    // Lets a held device use the agent (and drops the warnings about it). False for an unknown
    // device; throws std::system_error when storage fails, and the device stays held.
    bool approve(const UUID& deviceID);
    // Changes what a device may do (ask before signing, which keys). False for an unknown
    // device; throws std::system_error when storage fails, and nothing changes.
    bool setDeviceSettings(const UUID& deviceID, DeviceSettings settings);

    // The user's answer to a sign request waiting for it; false when none waits under that ID.
    bool decide(std::uint64_t requestID, ApprovalDecision decision);
    // The sign requests waiting for the user now, oldest first.
    std::vector<SignApprovals::Request> waitingApprovals() const;
    // The latest agent requests of paired devices, oldest first (kept while the relay runs).
    const RecentActivity& activity() const noexcept { return activity_; }

    bool isRunning() const noexcept { return listener_ != nullptr; }
    const std::optional<std::string>& pairingCode() const noexcept { return pairingCode_; }
    const std::optional<Date>& pairingExpiresAt() const noexcept { return pairingExpiresAt_; }
    const std::optional<PairingWindow>& pairingWindow() const noexcept { return pairingWindow_; }
    const std::string& relayName() const noexcept { return relayName_; }
    std::optional<std::uint16_t> port() const;

    // The custom agent socket path; empty means none. Stored at every change.
    const std::string& socketOverride() const noexcept { return socketOverride_; }
    // The same as the agent forwarder takes it: none for the empty text.
    std::optional<std::string> customSocketPath() const {
        if (socketOverride_.empty()) return std::nullopt;
        return socketOverride_;
    }
    void setSocketOverride(std::string path);
    bool hideDockIcon() const noexcept { return hideDockIcon_; }
    void setHideDockIcon(bool hide);
    bool launchAtLogin() const;
    void setLaunchAtLogin(bool enabled);

    PairedDeviceStore& store() noexcept { return store_; }
    RelayListener* listener() noexcept { return listener_.get(); }
    ServiceAdvertiser& advertiser() noexcept { return services_.advertiser; }
    SecretStore& secretStore() noexcept { return services_.secrets; }
    SettingsStore& settings() noexcept { return services_.settings; }

    // Observers see every event after the state changed. The id removes the observer.
    int addObserver(std::function<void(const RelayEvent&)> observer);
    void removeObserver(int id);

    // How the last pairing window ended, for status output; none before the first.
    const std::optional<PairingEnded>& lastPairing() const noexcept { return lastPairing_; }
    // The last agent request that failed, for status output; none before the first.
    const std::optional<AgentFailure>& lastAgentFailure() const noexcept {
        return lastAgentFailure_;
    }

    // What the user is told when the one handshake a code allows does not complete.
    static constexpr std::string_view codeUsedUpMessage =
        "a device tried the code but did not finish; a new code is needed (kestrel-relay pair, "
        "or Pair New Device\u2026 in the tray).";
    static constexpr std::string_view replacedMessage = "a new code replaced it";

    // RelayListenerDelegate
    void pairingConnection(const std::string& address) override;
    std::optional<std::string> activePairingCode() override;
    std::optional<PairingClaim> claimPairingCode(const std::string& address) override;
    bool pairingClaimValid(PairingClaim claim) override;
    void pairingAttemptFailed(PairingClaim claim) override;
    void pairingAbandoned(PairingClaim claim) override;
    void pairingCompleted(PairingClaim claim, const PairedDevice& device) override;
    void deviceConnected(const UUID& deviceID) override;
    void connectionRefused(const std::string& address, const std::string& reason) override;
    void requestRefused(const std::string& deviceName, const std::string& reason) override;
    void approvalRequested(const SignApprovals::Request& request) override;
    void requestHandled(const ActivityEntry& activity) override;

private:
    // The handshake that claimed the open window's code.
    struct Claim {
        PairingClaim id;
        std::string address;
    };

    void endPairing(PairingEnded outcome);
    void pairingTimeUp();
    void publish(const RelayEvent& event);

    asio::any_io_executor relayExecutor_;
    Services services_;
    PairedDeviceStore store_;
    std::string relayName_;
    std::string socketOverride_;
    bool hideDockIcon_ = false;
    std::unique_ptr<RelayListener> listener_;

    std::optional<PairingWindow> pairingWindow_;
    std::optional<std::string> pairingCode_;
    std::optional<Date> pairingExpiresAt_;
    ContinuousClock::time_point pairingDeadline_;
    ContinuousTimer pairingTimer_;
    std::uint64_t pairingGeneration_ = 0;
    std::optional<Claim> claim_;
    // The window's time ran out while its claim was still in its handshake: no new claim, and
    // the window ends with that handshake.
    bool pairingTimeUp_ = false;
    std::optional<PairingEnded> lastPairing_;
    PairingWatch watch_;
    std::optional<AgentFailure> lastAgentFailure_;
    RecentActivity activity_;

    std::map<int, std::function<void(const RelayEvent&)>> observers_;
    int nextObserverID_ = 0;
};

}  // namespace kestrel
