#include "relay/paired_device_store.hpp"

#include <algorithm>

#include "protocol/json_value.hpp"

namespace kestrel {
namespace {

nlohmann::json encodeEntry(const DeviceMetadata& entry) {
    nlohmann::json object = {
        {"deviceID", entry.deviceID.uuidString()},
        {"displayName", entry.displayName},
        {"pairedAt", secondsSinceReferenceDate(entry.pairedAt)},
    };
    if (entry.lastUsedAt) object["lastUsedAt"] = secondsSinceReferenceDate(*entry.lastUsedAt);
    if (entry.held) object["held"] = true;
    if (!entry.evidence.empty()) object["pairingEvidence"] = encodePairingEvidence(entry.evidence);
    return object;
}

DeviceMetadata decodeEntry(const nlohmann::json& object) {
    if (!object.is_object()) {
        throw DecodingFailure(DecodingError::typeMismatch, std::nullopt,
                              "device entry is not an object");
    }
    DeviceMetadata entry{json::requiredUUID(object, "deviceID"),
                         json::requiredString(object, "displayName"),
                         json::requiredDate(object, "pairedAt"),
                         std::nullopt,
                         false,
                         {}};
    if (auto seconds = json::optionalNumber(object, "lastUsedAt")) {
        entry.lastUsedAt = dateFromReferenceSeconds(*seconds);
        if (!entry.lastUsedAt) {
            throw DecodingFailure(DecodingError::dataCorrupted, "lastUsedAt", "date out of range");
        }
    }
    if (const auto held = object.find("held"); held != object.end() && !held->is_null()) {
        if (!held->is_boolean()) {
            throw DecodingFailure(DecodingError::typeMismatch, "held", "held is not a boolean");
        }
        entry.held = held->get<bool>();
    }
    if (const auto evidence = object.find("pairingEvidence");
        evidence != object.end() && !evidence->is_null()) {
        entry.evidence = decodePairingEvidence(*evidence);
    }
    return entry;
}

}  // namespace

nlohmann::json encodeDeviceMetadata(const std::vector<DeviceMetadata>& entries) {
    nlohmann::json array = nlohmann::json::array();
    for (const DeviceMetadata& entry : entries) array.push_back(encodeEntry(entry));
    return array;
}

std::vector<DeviceMetadata> decodeDeviceMetadata(const nlohmann::json& json) {
    if (!json.is_array()) {
        throw DecodingFailure(DecodingError::typeMismatch, std::nullopt,
                              "device list is not an array");
    }
    std::vector<DeviceMetadata> entries;
    for (const nlohmann::json& object : json) entries.push_back(decodeEntry(object));
    return entries;
}

bool DeviceSettings::mayUse(std::string_view fingerprint) const {
    return !allowedKeys ||
           std::find(allowedKeys->begin(), allowedKeys->end(), fingerprint) != allowedKeys->end();
}

std::string_view approvalName(DeviceSettings::Approval approval) noexcept {
    return approval == DeviceSettings::Approval::ask ? "ask" : "allow";
}

nlohmann::json encodeDeviceSettings(const std::map<UUID, DeviceSettings>& settings) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [deviceID, device] : settings) {
        nlohmann::json entry = nlohmann::json::object();
        if (device.approval != DeviceSettings::Approval::allow)
            entry["approval"] = approvalName(device.approval);
        if (device.allowedKeys) entry["keys"] = *device.allowedKeys;
        object[deviceID.uuidString()] = std::move(entry);
    }
    return object;
}

std::map<UUID, DeviceSettings> decodeDeviceSettings(const nlohmann::json& json) {
    const auto malformed = [](const std::string& what) {
        return DecodingFailure(DecodingError::typeMismatch, std::nullopt, what);
    };
    if (!json.is_object()) throw malformed("device settings are not an object");
    std::map<UUID, DeviceSettings> settings;
    for (const auto& [key, entry] : json.items()) {
        const std::optional<UUID> deviceID = UUID::fromString(key);
        if (!deviceID || !entry.is_object()) throw malformed("malformed device settings entry");
        DeviceSettings device;
        if (const auto approval = entry.find("approval"); approval != entry.end()) {
            if (*approval == "ask")
                device.approval = DeviceSettings::Approval::ask;
            else if (*approval != "allow")
                throw malformed("unknown approval setting");
        }
        if (const auto keys = entry.find("keys"); keys != entry.end()) {
            if (!keys->is_array()) throw malformed("the keys setting is not a list");
            std::vector<std::string> fingerprints;
            for (const nlohmann::json& fingerprint : *keys) {
                if (!fingerprint.is_string())
                    throw malformed("a key in the keys setting is not text");
                fingerprints.push_back(fingerprint.get<std::string>());
            }
            device.allowedKeys = std::move(fingerprints);
        }
        settings[*deviceID] = std::move(device);
    }
    return settings;
}

PairedDeviceStore::PairedDeviceStore(SecretStore& secrets, SettingsStore& settings,
                                     std::string service, std::string metadataKey)
    : secrets_(secrets),
      settings_(settings),
      service_(std::move(service)),
      metadataKey_(std::move(metadataKey)),
      keysToDeleteKey_(metadataKey_ + "KeysToDelete"),
      settingsKey_(metadataKey_ + "Settings") {}

void PairedDeviceStore::load() {
    loadKeysToDelete();
    loadSettings();
    const std::optional<nlohmann::json> stored = settings_.value(metadataKey_);
    if (!stored) return;
    std::vector<DeviceMetadata> list;
    try {
        list = decodeDeviceMetadata(*stored);
    } catch (const DecodingFailure& failure) {
        unreadableMetadata_ = *stored;
        warning_ = "the paired-device list in the settings could not be read (" +
                   std::string(failure.what()) + "); it is kept under \"" + metadataKey_ +
                   "Unreadable\" at the next change";
        return;
    }
    std::vector<Entry> loaded;
    for (DeviceMetadata& metadata : list) {
        if (keysToDelete_.contains(metadata.deviceID)) continue;  // revoked
        const std::optional<Date> lastUsedAt = metadata.lastUsedAt;
        Entry entry{std::move(metadata), std::nullopt, {}, lastUsedAt};
        try {
            entry.key = secrets_.load(service_, entry.metadata.deviceID.uuidString());
            if (!entry.key) continue;  // the store says the key is gone: the device is unpaired
        } catch (const std::system_error& error) {
            entry.unavailableReason = error.what();
        }
        loaded.push_back(std::move(entry));
    }
    entries_ = std::move(loaded);
    notify();
}

std::vector<PairedDevice> PairedDeviceStore::devices() const {
    std::vector<PairedDevice> result;
    for (const Entry& entry : entries_) {
        if (!entry.key) continue;
        const DeviceMetadata& m = entry.metadata;
        result.emplace_back(m.deviceID, m.displayName, *entry.key, m.pairedAt, m.lastUsedAt);
    }
    return result;
}

std::vector<PairedDeviceStore::UnavailableDevice> PairedDeviceStore::unavailableDevices() const {
    std::vector<UnavailableDevice> result;
    for (const Entry& entry : entries_) {
        if (!entry.key) result.push_back({entry.metadata, entry.unavailableReason});
    }
    return result;
}

std::vector<DeviceMetadata> PairedDeviceStore::metadata() const {
    std::vector<DeviceMetadata> result;
    for (const Entry& entry : entries_) result.push_back(entry.metadata);
    return result;
}

std::vector<PairedDeviceStore::Entry>::iterator PairedDeviceStore::find(const UUID& deviceID) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& entry) { return entry.metadata.deviceID == deviceID; });
}

std::optional<PairedDevice> PairedDeviceStore::device(const UUID& deviceID) {
    const auto entry = find(deviceID);
    if (entry == entries_.end()) return std::nullopt;
    if (!entry->key) {
        try {
            entry->key = secrets_.load(service_, deviceID.uuidString());
        } catch (const std::system_error& error) {
            entry->unavailableReason = error.what();
            return std::nullopt;
        }
        if (!entry->key) {
            entries_.erase(entry);
            try {
                persistMetadata();
            } catch (const std::system_error&) {
                // Written again with the next change; the device is gone either way.
            }
            notify();
            return std::nullopt;
        }
        entry->unavailableReason.clear();
        notify();
    }
    const DeviceMetadata& m = entry->metadata;
    return PairedDevice(m.deviceID, m.displayName, *entry->key, m.pairedAt, m.lastUsedAt);
}

void PairedDeviceStore::add(const PairedDevice& device, std::vector<PairingEvidence> heldFor) {
    const std::string account = device.deviceID.uuidString();
    keepKey(device.deviceID);
    secrets_.saveWithLabel(service_, account, device.pskData.bytes(), keyLabel(device.displayName));
    std::vector<Entry> previous = entries_;
    std::erase_if(entries_,
                  [&](const Entry& entry) { return entry.metadata.deviceID == device.deviceID; });
    const bool held = !heldFor.empty();
    entries_.push_back({{device.deviceID, device.displayName, device.pairedAt, device.lastUsedAt,
                         held, std::move(heldFor)},
                        device.pskData,
                        {},
                        std::nullopt});
    try {
        persistMetadata();
    } catch (const std::system_error&) {
        // Without its metadata the device would vanish at the next start: undo the pairing.
        entries_ = std::move(previous);
        try {
            secrets_.remove(service_, account);
        } catch (const std::system_error&) {
        }
        throw;
    }
    notify();
}

void PairedDeviceStore::remove(const UUID& deviceID) {
    std::erase_if(entries_,
                  [&](const Entry& entry) { return entry.metadata.deviceID == deviceID; });
    notify();
    if (deviceSettings_.erase(deviceID) != 0) {
        try {
            persistSettings();
        } catch (const std::system_error&) {
            // Left in the file until the next write of the settings, which keeps only the
            // paired devices'; until then they apply only if it pairs again under its ID.
        }
    }
    const bool alreadyListed = !keysToDelete_.try_emplace(deviceID).second;
    if (!alreadyListed) {
        try {
            persistKeysToDelete();
        } catch (const std::system_error&) {
            keysToDelete_.erase(deviceID);
            throw;
        }
    }
    try {
        persistMetadata();
    } catch (const std::system_error&) {
        // The revoke is recorded: load leaves the device out, and the next write drops it.
    }
    if (deleteKey(deviceID)) persistKeysToDeleteIfPossible();
}

bool PairedDeviceStore::isHeld(const UUID& deviceID) const {
    const auto entry = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& candidate) {
        return candidate.metadata.deviceID == deviceID;
    });
    return entry != entries_.end() && entry->metadata.held;
}

void PairedDeviceStore::addEvidence(const UUID& deviceID, const PairingEvidence& evidence,
                                    bool hold) {
    const auto entry = find(deviceID);
    if (entry == entries_.end()) return;
    entry->metadata.evidence.push_back(evidence);
    entry->metadata.held = entry->metadata.held || hold;
    notify();
    persistMetadata();
}

bool PairedDeviceStore::approve(const UUID& deviceID) {
    const auto entry = find(deviceID);
    if (entry == entries_.end()) return false;
    const DeviceMetadata before = entry->metadata;
    entry->metadata.held = false;
    entry->metadata.evidence.clear();
    try {
        persistMetadata();
    } catch (const std::system_error&) {
        // Approved only once it is stored, or a restart would hold it again unannounced.
        entry->metadata = before;
        throw;
    }
    notify();
    return true;
}

void PairedDeviceStore::touch(const UUID& deviceID, Date date) {
    const auto entry = find(deviceID);
    if (entry == entries_.end()) return;
    entry->metadata.lastUsedAt = date;
    const auto stored = entry->storedLastUsedAt;
    // Also when the clock was set back: the stored time must not stay ahead of the real one.
    if (!stored || date < *stored || date - *stored >= lastUsedStoreInterval) {
        try {
            persistMetadata();
        } catch (const std::system_error&) {
        }
    }
    notify();
}

DeviceSettings PairedDeviceStore::settings(const UUID& deviceID) const {
    if (unreadableSettings_) return {DeviceSettings::Approval::ask, std::nullopt};
    const auto found = deviceSettings_.find(deviceID);
    return found != deviceSettings_.end() ? found->second : DeviceSettings{};
}

bool PairedDeviceStore::setSettings(const UUID& deviceID, DeviceSettings settings) {
    if (find(deviceID) == entries_.end()) return false;
    const std::map<UUID, DeviceSettings> before = deviceSettings_;
    if (settings == DeviceSettings{})
        deviceSettings_.erase(deviceID);
    else
        deviceSettings_[deviceID] = std::move(settings);
    try {
        persistSettings();
    } catch (const std::system_error&) {
        deviceSettings_ = before;
        throw;
    }
    notify();
    return true;
}

void PairedDeviceStore::loadSettings() {
    const std::optional<nlohmann::json> stored = settings_.value(settingsKey_);
    if (!stored) return;
    try {
        deviceSettings_ = decodeDeviceSettings(*stored);
    } catch (const DecodingFailure& failure) {
        unreadableSettings_ = *stored;
        std::string warning = "the devices' settings could not be read (" +
                              std::string(failure.what()) +
                              "); every device asks before signing until one is set again, and "
                              "they are kept under \"" +
                              settingsKey_ + "Unreadable\"";
        warning_ = warning_ ? *warning_ + "; " + warning : warning;
    }
}

void PairedDeviceStore::persistSettings() {
    if (unreadableSettings_) {
        settings_.setValue(settingsKey_ + "Unreadable", *unreadableSettings_);
        unreadableSettings_.reset();
    }
    // Only the devices still paired: a revoked device's settings must not return with its ID.
    std::erase_if(deviceSettings_,
                  [&](const auto& entry) { return find(entry.first) == entries_.end(); });
    settings_.setValue(settingsKey_, encodeDeviceSettings(deviceSettings_));
}

void PairedDeviceStore::loadKeysToDelete() {
    const std::optional<nlohmann::json> stored = settings_.value(keysToDeleteKey_);
    if (!stored || !stored->is_array()) return;
    for (const nlohmann::json& text : *stored) {
        if (!text.is_string()) continue;
        if (const auto deviceID = UUID::fromString(text.get<std::string>())) {
            keysToDelete_.try_emplace(*deviceID);
        }
    }
    bool deletedAny = false;
    for (auto next = keysToDelete_.begin(); next != keysToDelete_.end();) {
        const UUID deviceID = (next++)->first;
        deletedAny = deleteKey(deviceID) || deletedAny;
    }
    if (deletedAny) persistKeysToDeleteIfPossible();
}

void PairedDeviceStore::keepKey(const UUID& deviceID) {
    const auto pending = keysToDelete_.find(deviceID);
    if (pending == keysToDelete_.end()) return;
    std::string reason = std::move(pending->second);
    keysToDelete_.erase(pending);
    try {
        persistKeysToDelete();
    } catch (const std::system_error&) {
        keysToDelete_.emplace(deviceID, std::move(reason));
        throw;
    }
}

bool PairedDeviceStore::deleteKey(const UUID& deviceID) {
    try {
        secrets_.remove(service_, deviceID.uuidString());
    } catch (const std::system_error& error) {
        keysToDelete_[deviceID] = error.what();
        return false;
    }
    keysToDelete_.erase(deviceID);
    return true;
}

void PairedDeviceStore::persistKeysToDelete() {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [deviceID, reason] : keysToDelete_) list.push_back(deviceID.uuidString());
    settings_.setValue(keysToDeleteKey_, std::move(list));
}

void PairedDeviceStore::persistKeysToDeleteIfPossible() noexcept {
    try {
        persistKeysToDelete();
    } catch (const std::exception&) {
    }
}

void PairedDeviceStore::persistMetadata() {
    if (unreadableMetadata_) {
        settings_.setValue(metadataKey_ + "Unreadable", *unreadableMetadata_);
        unreadableMetadata_.reset();
    }
    settings_.setValue(metadataKey_, encodeDeviceMetadata(metadata()));
    for (Entry& entry : entries_) entry.storedLastUsedAt = entry.metadata.lastUsedAt;
}

void PairedDeviceStore::notify() const {
    if (changed_) changed_();
}

}  // namespace kestrel
