#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "platform/settings_store.hpp"

namespace kestrel {

// The settings as one JSON object in a file (by default configDirectory() + "/settings.json"),
// one member per key, rewritten in full and atomically by every setValue; the directory is
// made private (0700) and the file is 0600.
//
// A file that cannot be understood is never overwritten: the store starts with no values,
// warning() says so, and the first setValue first renames the file to "<path>.unreadable"
// (replacing an older one), so that the user can still recover what it held. Until then the
// file is not touched. Relay thread only.
class FileSettingsStore final : public SettingsStore {
public:
    // Reads the file. Throws std::system_error naming the path when it exists but cannot be
    // read at all (permissions, a directory in its place): the relay then refuses to start
    // rather than hide the user's settings.
    FileSettingsStore();
    explicit FileSettingsStore(std::string path);

    std::optional<nlohmann::json> value(std::string_view key) const override;
    void setValue(std::string_view key, nlohmann::json value) override;

    // One line for the user when the file could not be understood; none otherwise.
    std::optional<std::string> warning() const;

    const std::string& path() const noexcept { return path_; }
    std::string unreadableCopyPath() const { return path_ + ".unreadable"; }

private:
    enum class Unreadable { no, pendingMoveAside, movedAside };

    void load();
    void moveUnreadableFileAside();

    std::string path_;
    nlohmann::json values_ = nlohmann::json::object();
    Unreadable unreadable_ = Unreadable::no;
    std::string problem_;  // why the file was not understood
};

}  // namespace kestrel
