#include "platform/file_settings_store.hpp"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "platform/atomic_file.hpp"
#include "platform/json_object_parser.hpp"
#include "platform/paths.hpp"
#include "platform/unique_fd.hpp"

namespace kestrel {
namespace {

// Pretty-printed, as people do read and edit this file.
std::string serialize(const nlohmann::json& values, std::string_view key) {
    try {
        return values.dump(2) + "\n";
    } catch (const nlohmann::json::exception&) {
        // The only failure dump() has: a string that is not UTF-8.
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "setting \"" + std::string(key) +
                                    "\" cannot be stored: it holds text that is not UTF-8");
    }
}

}  // namespace

FileSettingsStore::FileSettingsStore() : FileSettingsStore(configDirectory() + "/settings.json") {}

FileSettingsStore::FileSettingsStore(std::string path) : path_(std::move(path)) { load(); }

void FileSettingsStore::load() {
    const std::optional<Bytes> content = readFile(path_);
    if (!content) return;
    if (std::optional<nlohmann::json> object = parseJsonObject(*content, &problem_)) {
        values_ = std::move(*object);
    } else {
        unreadable_ = Unreadable::pendingMoveAside;
    }
}

std::optional<nlohmann::json> FileSettingsStore::value(std::string_view key) const {
    const auto found = values_.find(std::string(key));
    if (found == values_.end()) return std::nullopt;
    return *found;
}

void FileSettingsStore::setValue(std::string_view key, nlohmann::json value) {
    nlohmann::json updated = values_;
    updated[std::string(key)] = std::move(value);
    const std::string text = serialize(updated, key);
    ensurePrivateDirectory(parentDirectory(path_));
    if (unreadable_ == Unreadable::pendingMoveAside) moveUnreadableFileAside();
    writeFileAtomically(path_, asBytes(text));
    values_ = std::move(updated);
}

void FileSettingsStore::moveUnreadableFileAside() {
    const std::string aside = unreadableCopyPath();
    if (std::rename(path_.c_str(), aside.c_str()) == 0) {
        unreadable_ = Unreadable::movedAside;
    } else if (errno == ENOENT) {
        unreadable_ = Unreadable::no;  // removed by the user meanwhile: nothing left to keep
    } else {
        detail::throwErrno(errno, "cannot move the unreadable settings file " + path_ + " to " +
                                      aside + "; settings are not saved until it is moved");
    }
}

std::optional<std::string> FileSettingsStore::warning() const {
    const std::string start = "settings file " + path_ + " " + problem_;
    switch (unreadable_) {
        case Unreadable::no: return std::nullopt;
        case Unreadable::pendingMoveAside:
            return start + "; the defaults are used, and the file will be moved to " +
                   unreadableCopyPath() + " when a setting is next changed";
        case Unreadable::movedAside:
            return start + "; it was moved to " + unreadableCopyPath() +
                   " and the defaults are used";
    }
    return std::nullopt;
}

}  // namespace kestrel
