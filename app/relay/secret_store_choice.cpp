#include "app/relay/secret_store_choice.hpp"

#include <optional>
#include <stdexcept>

#include "platform/file_secret_store.hpp"
#include "platform/secret_service_store.hpp"
#include "relay/paired_device_store.hpp"

namespace kestrel::cli {
namespace {

constexpr std::string_view kindKey = "secretStore";
constexpr std::string_view chosenByKey = "secretStoreChosenBy";
constexpr std::string_view wantedKey = "secretStoreWanted";
constexpr std::string_view moveKey = "secretStoreMove";
constexpr std::string_view toEmptyKey = "secretStoreToEmpty";

std::optional<std::string> text(const SettingsStore& settings, std::string_view key) {
    const auto value = settings.value(key);
    if (value && value->is_string()) return value->get<std::string>();
    return std::nullopt;
}

// The devices whose keys move: every device in the stored list, with its name for the label.
std::vector<DeviceMetadata> devicesToMove(const SettingsStore& settings) {
    const auto stored = settings.value("pairedDeviceMetadata");
    if (!stored) return {};
    try {
        return decodeDeviceMetadata(*stored);
    } catch (const std::exception&) {
        // The relay warns about the list itself; without it no key can be matched to a device.
        return {};
    }
}

// Copies every key and reads each back; the number copied. Throws on the first failure, with
// nothing deleted anywhere.
int copyKeys(SecretStore& from, SecretStore& to, const std::vector<DeviceMetadata>& devices,
             std::string_view service) {
    int copied = 0;
    for (const DeviceMetadata& device : devices) {
        const std::string account = device.deviceID.uuidString();
        const std::optional<SymmetricKey> key = from.load(service, account);
        if (!key) continue;
        to.saveWithLabel(service, account, key->bytes(),
                         PairedDeviceStore::keyLabel(device.displayName));
        const std::optional<SymmetricKey> copy = to.load(service, account);
        if (!copy || !(*copy == *key)) {
            throw std::runtime_error("the key of \u201C" + device.displayName +
                                     "\u201D did not read back the same from " +
                                     storeName(to.kind()));
        }
        ++copied;
    }
    return copied;
}

// Deletes the old copies; a refusal leaves the marker for the next start.
void emptyOldStore(SettingsStore& settings, SecretStore& old,
                   const std::vector<DeviceMetadata>& devices, std::string_view service,
                   SecretStoreChoice& choice) {
    try {
        for (const DeviceMetadata& device : devices)
            old.remove(service, device.deviceID.uuidString());
        settings.setValue(toEmptyKey, nullptr);
    } catch (const std::system_error& error) {
        choice.warnings.push_back("the old copies of the device keys in " + storeName(old.kind()) +
                                  " could not be deleted yet (" + error.what() +
                                  "); the next start tries again");
    }
}

}  // namespace

std::string storeName(std::string_view kind) {
    return kind == "secret-service" ? "the Secret Service" : "the file store";
}

OpenedSecretStore openStoreOfKind(std::string_view kind) {
    if (kind == "file") return {std::make_unique<FileSecretStore>(), true, {}};
    if (kind == "secret-service") {
        auto store = std::make_unique<SecretServiceStore>();
        auto [works, reason] = store->works();
        return {std::move(store), works, std::move(reason)};
    }
    throw std::runtime_error("unknown secret store \"" + std::string(kind) + "\" in the settings");
}

std::unique_ptr<SecretStore> openStoreNamedBy(const SettingsStore& settings,
                                              const SecretStoreFactory& open) {
    // Settings without a store were never used by a relay that stored a device key.
    return open(text(settings, kindKey).value_or("file")).store;
}

SecretStoreChoice chooseSecretStore(const std::string& requested, SettingsStore& settings,
                                    std::string_view service, const SecretStoreFactory& open) {
    SecretStoreChoice choice;
    const std::optional<std::string> stored = text(settings, kindKey);
    const std::string chosenBy = text(settings, chosenByKey).value_or("auto");
    const std::optional<std::string> wanted = text(settings, wantedKey);
    const auto pendingMove = settings.value(moveKey);
    const std::vector<DeviceMetadata> devices = devicesToMove(settings);
    // A move that recorded its new store and then stopped: only the old copies are left to
    // delete. One that stopped before is simply made again below (its source is intact).
    if (pendingMove && pendingMove->is_object() && stored &&
        pendingMove->value("to", "") == *stored && pendingMove->value("from", "") != *stored) {
        settings.setValue(toEmptyKey, pendingMove->value("from", ""));
        settings.setValue(moveKey, nullptr);
    }

    // Where the keys should be, and who says so.
    std::string target;
    std::string targetChosenBy = "user";
    std::optional<OpenedSecretStore> secretService;
    if (requested != "auto") {
        target = requested;
    } else if (wanted && *wanted != "auto") {
        target = *wanted;
    } else if (stored && (chosenBy == "user" || *stored == "secret-service") && !wanted) {
        target = *stored;
        targetChosenBy = chosenBy;
    } else {
        targetChosenBy = "auto";
        secretService = open("secret-service");
        target = secretService->works ? "secret-service" : "file";
    }
    const std::string current = stored.value_or(target);

    auto openKind = [&](const std::string& kind) {
        if (kind == "secret-service" && secretService) return std::move(*secretService);
        return open(kind);
    };

    // An earlier start stopped half-way through deleting the old copies.
    if (const auto toEmpty = text(settings, toEmptyKey); toEmpty && *toEmpty != current) {
        OpenedSecretStore old = openKind(*toEmpty);
        emptyOldStore(settings, *old.store, devices, service, choice);
    }

    if (target == current) {
        // A start that changes nothing writes nothing.
        if (!stored || chosenBy != targetChosenBy) {
            settings.setValue(kindKey, target);
            settings.setValue(chosenByKey, targetChosenBy);
        }
        if (wanted) settings.setValue(wantedKey, nullptr);
        if (const auto move = settings.value(moveKey); move && move->is_object())
            settings.setValue(moveKey, nullptr);
        choice.store = openKind(target).store;
        return choice;
    }

    OpenedSecretStore from = openKind(current);
    OpenedSecretStore to = openKind(target);
    try {
        settings.setValue(moveKey, {{"from", current}, {"to", target}});
        const int copied = copyKeys(*from.store, *to.store, devices, service);
        settings.setValue(toEmptyKey, current);
        settings.setValue(kindKey, target);
        settings.setValue(chosenByKey, targetChosenBy);
        settings.setValue(moveKey, nullptr);
        if (wanted) settings.setValue(wantedKey, nullptr);
        choice.notes.push_back("moved " + std::to_string(copied) + " device key" +
                               (copied == 1 ? "" : "s") + " from " + storeName(current) + " to " +
                               storeName(target) +
                               (targetChosenBy == "auto" ? " (it is available now)" : ""));
    } catch (const std::exception& error) {
        try {
            settings.setValue(moveKey, nullptr);
        } catch (const std::exception&) {
        }
        choice.warnings.push_back("the device keys stay in " + storeName(current) +
                                  ": moving them to " + storeName(target) +
                                  " failed: " + error.what());
        choice.store = std::move(from.store);
        return choice;
    }
    emptyOldStore(settings, *from.store, devices, service, choice);
    choice.store = std::move(to.store);
    return choice;
}

}  // namespace kestrel::cli
