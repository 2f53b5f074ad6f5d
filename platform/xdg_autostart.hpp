#pragma once

#include <string>
#include <string_view>

#include "platform/login_item.hpp"

namespace kestrel {

// The tray app's login item as an XDG autostart entry (Desktop Application Autostart
// format): the file $XDG_CONFIG_HOME/autostart/kestrel-relay-tray.desktop.
class XdgAutostartLoginItem final : public LoginItem {
public:
    XdgAutostartLoginItem();
    // program: what the entry starts, a path or a name found on PATH.
    explicit XdgAutostartLoginItem(std::string entryPath,
                                   std::string program = "kestrel-relay-tray");

    // The entry exists, can be read, and does not switch itself off in its [Desktop Entry]
    // group with "Hidden=true" or GNOME's "X-GNOME-Autostart-enabled=false" (a desktop that
    // honours either would not start the app).
    bool isEnabled() const override;
    // On: writes our own entry atomically, replacing whatever is there (a hidden entry
    // included); missing directories are created 0700. Off: removes the entry.
    void setEnabled(bool enabled) override;

    const std::string& entryPath() const noexcept { return entryPath_; }
    static std::string defaultEntryPath();

    // The entry that setEnabled(true) writes for the program.
    static std::string entryText(std::string_view program = "kestrel-relay-tray");

private:
    std::string entryPath_;
    std::string program_;
};

}  // namespace kestrel
