#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/secret_store.hpp"

namespace kestrel {

// Keys in the desktop's keyring through the Secret Service (libsecret): one item per key, found
// by the attributes service and account, labelled for the user's keyring manager.
//
// No D-Bus call runs on the caller's thread (the relay thread): they all run in order on the
// store's own thread. Lookups answer from what that thread last read of the keyring, so a
// keyring that hangs never stalls a connection; a lookup the last read cannot answer starts a
// new read. Saving and removing wait for the keyring, at most saveLimit.
//
// A locked keyring hides its secrets but not that it is locked: a key is reported absent only
// when the last read found every collection unlocked and no such item, never because the keyring
// was locked or did not answer.
class SecretServiceStore final : public SecretStore {
public:
    static constexpr std::chrono::seconds firstReadLimit{5};
    static constexpr std::chrono::seconds saveLimit{3};

    // Starts the store's thread and reads the keyring once, waiting at most firstReadLimit.
    SecretServiceStore();
    ~SecretServiceStore() override;
    SecretServiceStore(const SecretServiceStore&) = delete;
    SecretServiceStore& operator=(const SecretServiceStore&) = delete;

    // Whether a Secret Service answered the first read with every collection unlocked: what
    // `auto` asks before choosing this store. With the reason when not.
    std::pair<bool, std::string> works() const;

    void save(std::string_view service, std::string_view account, ByteView secret) override;
    void saveWithLabel(std::string_view service, std::string_view account, ByteView secret,
                       std::string_view label) override;
    std::optional<SymmetricKey> load(std::string_view service, std::string_view account) override;
    void remove(std::string_view service, std::string_view account) override;
    std::string_view kind() const noexcept override { return "secret-service"; }

private:
    using Key = std::pair<std::string, std::string>;  // service, account
    // Shared with the store's thread, which may outlive the store while a call hangs.
    struct State;
    void runAndWait(std::function<void()> work, std::chrono::seconds limit,
                    const std::string& what);
    std::shared_ptr<State> state_;
};

}  // namespace kestrel
