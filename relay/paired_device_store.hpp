#pragma once

// The registry of paired devices. Each device's key lives in the secret store (one item per
// device: service, account = the device ID in upper-case text); the rest of what is known about
// it is metadata kept as one JSON array in the settings. Revoked devices whose keys are not yet
// deleted are listed in the settings too, so that the deletion survives a restart. Relay thread
// only.

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret_store.hpp"
#include "platform/settings_store.hpp"
#include "protocol/date.hpp"
#include "protocol/paired_device.hpp"
#include "protocol/uuid.hpp"
#include "relay/pairing_evidence.hpp"

namespace kestrel {

// What is kept about a device besides its key.
struct DeviceMetadata {
    UUID deviceID;
    std::string displayName;
    Date pairedAt;
    std::optional<Date> lastUsedAt;
    // Held: paired, but nothing of it reaches the agent until the user approves it.
    bool held = false;
    // What made the relay hold the device or warn about it; cleared when the user approves.
    std::vector<PairingEvidence> evidence;

    friend bool operator==(const DeviceMetadata&, const DeviceMetadata&) = default;
};

// What the user chose for one device. The defaults change nothing a device sees.
struct DeviceSettings {
    enum class Approval { allow, ask };
    // ask: every sign request waits until the user allows it.
    Approval approval = Approval::allow;
    // The SHA256 fingerprints of the keys the device may use, in the user's order; none: every
    // key of the agent.
    std::optional<std::vector<std::string>> allowedKeys;

    bool mayUse(std::string_view fingerprint) const;

    friend bool operator==(const DeviceSettings&, const DeviceSettings&) = default;
};

std::string_view approvalName(DeviceSettings::Approval approval) noexcept;  // "allow" | "ask"

// The stored form of the settings of the devices that have any: {"<device ID>": {"approval":
// "ask", "keys": ["SHA256:…"]}}, "approval" left out when allow and "keys" when every key.
// Decoding throws DecodingFailure when any entry is malformed.
nlohmann::json encodeDeviceSettings(const std::map<UUID, DeviceSettings>& settings);
std::map<UUID, DeviceSettings> decodeDeviceSettings(const nlohmann::json& json);

// The stored form: [{"deviceID": "…", "displayName": "…", "pairedAt": 7.2e8, "lastUsedAt": …,
// "held": true, "pairingEvidence": […]}], dates as seconds since 2001-01-01 UTC, "lastUsedAt",
// "held" and "pairingEvidence" left out when none, false or empty. Decoding throws
// DecodingFailure when any entry is malformed: the list is read whole or not at all.
nlohmann::json encodeDeviceMetadata(const std::vector<DeviceMetadata>& entries);
std::vector<DeviceMetadata> decodeDeviceMetadata(const nlohmann::json& json);

class PairedDeviceStore {
public:
    // A device whose metadata is known but whose key the secret store could not give out
    // (locked keyring, unreadable file). It stays paired but cannot connect until its key can
    // be read again; every lookup of it retries.
    struct UnavailableDevice {
        DeviceMetadata metadata;
        std::string reason;
    };

    // The revoked devices whose keys are to be deleted are kept under metadataKey +
    // "KeysToDelete", as an array of device IDs; the devices' settings under metadataKey +
    // "Settings", apart from the metadata, whose form older relays read.
    PairedDeviceStore(SecretStore& secrets, SettingsStore& settings, std::string service,
                      std::string metadataKey = "pairedDeviceMetadata");

    // First deletes the keys of revoked devices that are still stored, keeping those the secret
    // store still refuses for the next load. Then joins the stored metadata with the keys,
    // leaving out revoked devices. A device whose key the store reports absent is unpaired (its
    // metadata goes at the next write); any other failure keeps it, unavailable.
    void load();

    // The devices that can connect, in pairing order.
    std::vector<PairedDevice> devices() const;
    std::vector<UnavailableDevice> unavailableDevices() const;
    // Every device, available or not, in pairing order.
    std::vector<DeviceMetadata> metadata() const;

    // The device that may connect under this ID. An unavailable device's key is read again.
    std::optional<PairedDevice> device(const UUID& deviceID);

    // Saves the key, then the metadata (replacing any device with the same ID, and moving it to
    // the end). Throws std::system_error when either cannot be stored; the device is then not
    // added. With evidence, the device is stored held.
    void add(const PairedDevice& device, std::vector<PairingEvidence> heldFor = {});
    // Whether the device is held (false for an unknown device).
    bool isHeld(const UUID& deviceID) const;
    // Records evidence against a paired device, and holds it when hold is set. In memory at
    // once, whatever storage says; a failure to persist it is thrown.
    void addEvidence(const UUID& deviceID, const PairingEvidence& evidence, bool hold);
    // Lets a held device use the agent and forgets the evidence against it. False for an
    // unknown device. Throws std::system_error when storage fails; the device then stays held.
    bool approve(const UUID& deviceID);
    // Takes the device out of service at once and records the revoke in the settings, which
    // makes it stick: from then on no load lists the device. Then rewrites the metadata and
    // deletes the key. A key the secret store refuses to delete is kept in
    // keysAwaitingDeletion() and deleted at a later load; that is no failure of the revoke.
    // Throws std::system_error only when the revoke cannot be recorded; the device is then out
    // of service until the next start, when it is back.
    void remove(const UUID& deviceID);
    // The device's settings; the defaults for an unknown device. While the stored settings
    // cannot be read, every device asks before signing (see warning()): a choice the user made
    // to restrict a device must not be lost to a damaged file.
    DeviceSettings settings(const UUID& deviceID) const;
    // Stores the device's settings. False for an unknown device; throws std::system_error when
    // storage fails, and the settings are then unchanged. A device paired again under its ID
    // keeps them; a revoked device's go with it.
    bool setSettings(const UUID& deviceID, DeviceSettings settings);

    // Records a connection. The time is current in memory at once; it is written to the
    // settings when it is a device's first use, or at most once per lastUsedStoreInterval, since
    // rewriting and syncing the whole list for every connection costs more than the handshake.
    // A failure to persist it is not worth failing the connection for.
    void touch(const UUID& deviceID, Date date);
    static constexpr std::chrono::seconds lastUsedStoreInterval{60};

    // Revoked devices whose keys are still stored, each with the secret store's reason for
    // refusing the deletion (empty while it has not been tried).
    const std::map<UUID, std::string>& keysAwaitingDeletion() const noexcept {
        return keysToDelete_;
    }

    // Set when the stored metadata could not be read at load (it is kept aside at the first
    // write under metadataKey + "Unreadable", never silently overwritten).
    const std::optional<std::string>& warning() const noexcept { return warning_; }

    // Called after every change of the device list.
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

    const std::string& service() const noexcept { return service_; }
    // How a device's key is labelled where the user can see it (a keyring manager).
    static std::string keyLabel(const std::string& displayName) {
        return "Kestrel relay: key of device \u201C" + displayName + "\u201D";
    }

private:
    struct Entry {
        DeviceMetadata metadata;
        std::optional<SymmetricKey> key;  // none while unavailable
        std::string unavailableReason;
        std::optional<Date> storedLastUsedAt;  // as last written to the settings
    };

    std::vector<Entry>::iterator find(const UUID& deviceID);
    void loadKeysToDelete();
    // A revoked device paired again under its old ID: its new key must survive the next load.
    void keepKey(const UUID& deviceID);
    // Deletes the key; true when it is gone. A refusal is kept as the reason in keysToDelete_.
    bool deleteKey(const UUID& deviceID);
    void persistMetadata();
    void loadSettings();
    void persistSettings();
    void persistKeysToDelete();
    // Writes the list after it shrank: a failure only means deleting an absent key again later.
    void persistKeysToDeleteIfPossible() noexcept;
    void notify() const;

    SecretStore& secrets_;
    SettingsStore& settings_;
    std::string service_;
    std::string metadataKey_;
    std::string keysToDeleteKey_;
    std::vector<Entry> entries_;
    std::map<UUID, std::string> keysToDelete_;
    std::string settingsKey_;
    std::map<UUID, DeviceSettings> deviceSettings_;  // devices with other than the defaults
    std::optional<nlohmann::json> unreadableSettings_;
    std::optional<nlohmann::json> unreadableMetadata_;
    std::optional<std::string> warning_;
    std::function<void()> changed_;
};

}  // namespace kestrel
