#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/secret_store.hpp"

namespace kestrel {

// An in-memory stand-in for a secret store, for unit tests of the layers above (kind()
// "memory"). Failures can be injected: a number of calls that fail once each, or a lasting
// failure such as a locked keyring. A failing call throws before it changes anything.
class MemorySecretStore final : public SecretStore {
public:
    void save(std::string_view service, std::string_view account, ByteView secret) override;
    std::optional<SymmetricKey> load(std::string_view service, std::string_view account) override;
    void remove(std::string_view service, std::string_view account) override;
    std::string_view kind() const noexcept override { return "memory"; }

    // The next `count` calls (of any operation) throw `error`.
    void failNextCalls(SecretStoreError error, int count = 1);
    // Every call throws `error` until this is called again with none.
    void setLastingFailure(std::optional<SecretStoreError> error);

    bool contains(std::string_view service, std::string_view account) const;
    std::size_t itemCount() const noexcept { return items_.size(); }
    // Calls of any operation so far, failed ones included.
    int callCount() const noexcept { return callCount_; }

private:
    using Item = std::pair<std::string, std::string>;  // service, account

    void beginCall(const char* operation);

    std::map<Item, SymmetricKey> items_;
    std::optional<SecretStoreError> lastingFailure_;
    SecretStoreError nextFailure_ = SecretStoreError::ioFailed;
    int nextFailuresLeft_ = 0;
    int callCount_ = 0;
};

}  // namespace kestrel
