#include "platform/secret_store.hpp"

#include "protocol/error_category.hpp"

namespace kestrel {
namespace {

const char* describe(SecretStoreError error) noexcept {
    switch (error) {
        case SecretStoreError::unavailable: return "secret store unavailable";
        case SecretStoreError::locked: return "secret store locked";
        case SecretStoreError::ioFailed: return "secret store input/output failed";
        case SecretStoreError::corrupted: return "secret store data corrupted";
    }
    return "unknown secret store error";
}

}  // namespace

const std::error_category& secretStoreCategory() noexcept {
    static const detail::EnumErrorCategory<SecretStoreError> category("kestrel.secret-store",
                                                                      describe);
    return category;
}

std::error_code make_error_code(SecretStoreError error) noexcept {
    return {static_cast<int>(error), secretStoreCategory()};
}

}  // namespace kestrel
