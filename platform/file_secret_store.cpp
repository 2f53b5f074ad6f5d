#include "platform/file_secret_store.hpp"

#include <openssl/crypto.h>
#include <nlohmann/json.hpp>

#include <system_error>
#include <utility>

#include "platform/atomic_file.hpp"
#include "platform/json_object_parser.hpp"
#include "platform/paths.hpp"
#include "protocol/base64.hpp"

namespace kestrel {
namespace {

[[noreturn]] void fail(SecretStoreError error, const std::string& what) {
    throw std::system_error(make_error_code(error), what);
}

void wipe(std::string& text) noexcept {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
}

void wipe(Bytes& bytes) noexcept {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

// Clears every string in a parsed document; the parser bounds the nesting, so the recursion
// is shallow.
void wipe(nlohmann::json& value) noexcept {
    if (value.is_string()) {
        wipe(value.get_ref<std::string&>());
    } else if (value.is_structured()) {
        for (nlohmann::json& child : value) wipe(child);
    }
}

// Runs a wipe when the scope ends, however it ends.
template <typename Secret>
class WipeOnExit {
public:
    explicit WipeOnExit(Secret& secret) noexcept : secret_(secret) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { wipe(secret_); }

private:
    Secret& secret_;
};

// Throws corrupted unless the document has the shape the store writes.
void checkShape(const nlohmann::json& root, const std::string& path) {
    for (const auto& [service, accounts] : root.items()) {
        if (!accounts.is_object()) {
            fail(SecretStoreError::corrupted,
                 "secrets file " + path + ": the entry of \"" + service + "\" is not an object");
        }
        for (const auto& [account, secret] : accounts.items()) {
            if (!secret.is_string()) {
                fail(SecretStoreError::corrupted, "secrets file " + path + ": the secret of \"" +
                                                      service + "\", \"" + account +
                                                      "\" is not a string");
            }
        }
    }
}

}  // namespace

// The parsed file: {"<service>": {"<account>": "<Base64>"}}. Its strings are wiped when it is
// dropped, as they are the keys in another encoding.
class FileSecretStore::Document {
public:
    Document() = default;
    explicit Document(nlohmann::json root) noexcept : root_(std::move(root)) {}
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) = delete;
    ~Document() { wipe(root_); }

    const std::string* find(std::string_view service, std::string_view account) const {
        const auto accounts = root_.find(std::string(service));
        if (accounts == root_.end()) return nullptr;
        const auto secret = accounts->find(std::string(account));
        if (secret == accounts->end()) return nullptr;
        return &secret->get_ref<const std::string&>();
    }

    void set(std::string_view service, std::string_view account, std::string base64) {
        nlohmann::json& slot = root_[std::string(service)][std::string(account)];
        wipe(slot);
        slot = std::move(base64);
    }

    // False when there was no such item.
    bool erase(std::string_view service, std::string_view account) {
        const auto accounts = root_.find(std::string(service));
        if (accounts == root_.end()) return false;
        const auto secret = accounts->find(std::string(account));
        if (secret == accounts->end()) return false;
        wipe(*secret);
        accounts->erase(secret);
        if (accounts->empty()) root_.erase(accounts);
        return true;
    }

    const nlohmann::json& root() const noexcept { return root_; }

private:
    nlohmann::json root_ = nlohmann::json::object();
};

FileSecretStore::FileSecretStore() : FileSecretStore(dataDirectory() + "/secrets.json") {}

FileSecretStore::FileSecretStore(std::string path) : path_(std::move(path)) {}

FileSecretStore::Document FileSecretStore::read() const {
    std::optional<Bytes> content;
    try {
        content = readFile(path_);
    } catch (const std::system_error& error) {
        fail(SecretStoreError::ioFailed, error.what());
    }
    if (!content) return Document();
    WipeOnExit wipeContent(*content);
    std::string problem;
    std::optional<nlohmann::json> root = parseJsonObject(*content, &problem);
    if (!root) fail(SecretStoreError::corrupted, "secrets file " + path_ + " " + problem);
    WipeOnExit wipeRoot(*root);
    checkShape(*root, path_);
    return Document(std::move(*root));
}

void FileSecretStore::write(const Document& document) const {
    std::string text;
    try {
        text = document.root().dump() + "\n";
    } catch (const nlohmann::json::exception&) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "a secret's service or account name is not UTF-8");
    }
    WipeOnExit wipeText(text);
    try {
        ensurePrivateDirectory(parentDirectory(path_));
        writeFileAtomically(path_, asBytes(text));
    } catch (const std::system_error& error) {
        fail(SecretStoreError::ioFailed, error.what());
    }
}

void FileSecretStore::save(std::string_view service, std::string_view account, ByteView secret) {
    Document document = read();
    document.set(service, account, base64Encode(secret));
    write(document);
}

std::optional<SymmetricKey> FileSecretStore::load(std::string_view service,
                                                  std::string_view account) {
    const Document document = read();
    const std::string* text = document.find(service, account);
    if (text == nullptr) return std::nullopt;
    std::optional<Bytes> bytes = base64Decode(*text);
    if (!bytes) {
        fail(SecretStoreError::corrupted, "secrets file " + path_ + ": the secret of \"" +
                                              std::string(service) + "\", \"" +
                                              std::string(account) + "\" is not valid Base64");
    }
    WipeOnExit wipeBytes(*bytes);
    return SymmetricKey(*bytes);
}

void FileSecretStore::remove(std::string_view service, std::string_view account) {
    Document document = read();
    if (document.erase(service, account)) write(document);
}

}  // namespace kestrel
