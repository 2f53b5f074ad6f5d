#pragma once

#include <string>

#include "platform/login_item.hpp"

namespace kestrel {

// Launch at login for the headless relay: a systemd user unit,
// $XDG_CONFIG_HOME/systemd/user/kestrel-relay.service, enabled with `systemctl --user enable`.
// Enabled means what systemd itself goes by: the unit's link in default.target.wants.
class SystemdUserUnitLoginItem final : public LoginItem {
public:
    // executable: the kestrel-relay the unit starts.
    explicit SystemdUserUnitLoginItem(std::string executable,
                                      std::string unitDirectory = defaultUnitDirectory());

    bool isEnabled() const override;
    // On: writes the unit and enables it without starting it (this relay is already running;
    // a second would find the instance lock taken). Where there is no systemd user instance,
    // nothing is left behind and the error says how else to start the relay at login. Off:
    // disables the unit and removes it.
    void setEnabled(bool enabled) override;

    // The unit's text, ExecStart naming the executable.
    static std::string unitText(const std::string& executable);
    static std::string defaultUnitDirectory();

    std::string unitPath() const { return unitDirectory_ + "/kestrel-relay.service"; }
    std::string wantsLinkPath() const {
        return unitDirectory_ + "/default.target.wants/kestrel-relay.service";
    }

private:
    std::string executable_;
    std::string unitDirectory_;
};

}  // namespace kestrel
