#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/secret_store.hpp"

namespace kestrel {

// The secret store for hosts without a Secret Service (servers, containers, CI): one JSON file,
// by default dataDirectory() + "/secrets.json", mode 0600 in a 0700 directory, rewritten
// atomically on every change:
//     {"<service>": {"<account>": "<secret in padded standard Base64>"}}
// The file is read afresh by every call, nothing is cached. A file that cannot be read or
// understood makes every call throw (ioFailed, corrupted) and is never overwritten, so that a
// damaged file is not mistaken for a store without devices.
// The secrets are as safe as the user's account: the file is not encrypted.
class FileSecretStore final : public SecretStore {
public:
    FileSecretStore();
    explicit FileSecretStore(std::string path);

    void save(std::string_view service, std::string_view account, ByteView secret) override;
    std::optional<SymmetricKey> load(std::string_view service, std::string_view account) override;
    void remove(std::string_view service, std::string_view account) override;

    std::string_view kind() const noexcept override { return "file"; }
    const std::string& path() const noexcept { return path_; }

private:
    class Document;

    Document read() const;
    void write(const Document& document) const;

    std::string path_;
};

}  // namespace kestrel
