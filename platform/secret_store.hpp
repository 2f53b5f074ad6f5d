#pragma once

// Where device keys live: items keyed by (service, account), as in a keyring.

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "protocol/bytes.hpp"
#include "protocol/crypto.hpp"

namespace kestrel {

enum class SecretStoreError {
    unavailable = 1,  // no store to talk to (no session bus, no Secret Service)
    locked,           // the store exists but will not give out secrets now
    ioFailed,         // reading or writing the backing file failed
    corrupted,        // the backing data cannot be understood
};

const std::error_category& secretStoreCategory() noexcept;
std::error_code make_error_code(SecretStoreError error) noexcept;

// Every failure is thrown as std::system_error. Absence is not a failure: load returns none only
// when the store positively reports that no such item exists, so that a locked or unreachable
// store is never mistaken for a device that was revoked.
// Called on the relay thread; implementations may block briefly.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Replaces any earlier secret of the item.
    virtual void save(std::string_view service, std::string_view account, ByteView secret) = 0;
    // As save, with a label for stores that show their items to the user (a keyring manager);
    // the others ignore it.
    virtual void saveWithLabel(std::string_view service, std::string_view account, ByteView secret,
                               std::string_view /*label*/) {
        save(service, account, secret);
    }
    virtual std::optional<SymmetricKey> load(std::string_view service,
                                             std::string_view account) = 0;
    // Deleting an absent item is not an error.
    virtual void remove(std::string_view service, std::string_view account) = 0;

    // "file", "secret-service", "memory": shown in status output.
    virtual std::string_view kind() const noexcept = 0;
};

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::SecretStoreError> : std::true_type {};
