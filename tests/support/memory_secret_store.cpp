#include "support/memory_secret_store.hpp"

#include <system_error>

namespace kestrel {
namespace {

std::pair<std::string, std::string> itemKey(std::string_view service, std::string_view account) {
    return {std::string(service), std::string(account)};
}

}  // namespace

void MemorySecretStore::beginCall(const char* operation) {
    ++callCount_;
    if (lastingFailure_) {
        throw std::system_error(make_error_code(*lastingFailure_), operation);
    }
    if (nextFailuresLeft_ > 0) {
        --nextFailuresLeft_;
        throw std::system_error(make_error_code(nextFailure_), operation);
    }
}

void MemorySecretStore::save(std::string_view service, std::string_view account, ByteView secret) {
    beginCall("saving a secret (in-memory store)");
    items_.insert_or_assign(itemKey(service, account), SymmetricKey(secret));
}

std::optional<SymmetricKey> MemorySecretStore::load(std::string_view service,
                                                    std::string_view account) {
    beginCall("loading a secret (in-memory store)");
    const auto found = items_.find(itemKey(service, account));
    if (found == items_.end()) return std::nullopt;
    return found->second;
}

void MemorySecretStore::remove(std::string_view service, std::string_view account) {
    beginCall("removing a secret (in-memory store)");
    items_.erase(itemKey(service, account));
}

void MemorySecretStore::failNextCalls(SecretStoreError error, int count) {
    nextFailure_ = error;
    nextFailuresLeft_ = count;
}

void MemorySecretStore::setLastingFailure(std::optional<SecretStoreError> error) {
    lastingFailure_ = error;
}

bool MemorySecretStore::contains(std::string_view service, std::string_view account) const {
    return items_.contains(itemKey(service, account));
}

}  // namespace kestrel
