#pragma once

// Which store holds the device keys, and moving them when that changes.
//
// The settings say where the keys are ("secretStore": "file" or "secret-service") and whether the
// user chose it or `auto` did ("secretStoreChosenBy"; settings from before it was recorded were
// written by `auto`). `auto` takes the Secret Service when one answers with its keyring unlocked,
// else the file store, and moves keys from a file store it chose once a Secret Service works;
// it never overrides the user's choice.
//
// A move copies every key, reads each back, records the new store, and only then deletes the
// old copies. "secretStoreMove" marks a move in progress and "secretStoreToEmpty" a store whose
// copies are still to be deleted, so a start after a crash finishes either step: at every
// moment each key can be found in the store the settings name.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret_store.hpp"
#include "platform/settings_store.hpp"

namespace kestrel::cli {

// "the Secret Service" or "the file store", for messages.
std::string storeName(std::string_view kind);

struct OpenedSecretStore {
    std::unique_ptr<SecretStore> store;
    bool works = true;   // answered, unlocked: fit for `auto` to choose
    std::string reason;  // why not, when it does not
};

// Opens the store of a kind ("file" or "secret-service"). Throws std::runtime_error when the
// kind cannot be opened at all.
using SecretStoreFactory = std::function<OpenedSecretStore(std::string_view kind)>;
OpenedSecretStore openStoreOfKind(std::string_view kind);

struct SecretStoreChoice {
    std::unique_ptr<SecretStore> store;
    std::vector<std::string> notes;     // what was done, for the log
    std::vector<std::string> warnings;  // what could not be done
};

// requested: "auto", "file" or "secret-service" (from --secret-store, or the setting the user
// made with `config set secret-store`). Writes the settings only when something changes.
SecretStoreChoice chooseSecretStore(const std::string& requested, SettingsStore& settings,
                                    std::string_view keyService,
                                    const SecretStoreFactory& open = openStoreOfKind);

// The store the settings name as holding the keys now, opened as it is: nothing is chosen or
// moved. For commands that act on the devices while no relay runs.
std::unique_ptr<SecretStore> openStoreNamedBy(const SettingsStore& settings,
                                              const SecretStoreFactory& open = openStoreOfKind);

}  // namespace kestrel::cli
