#include "support/session_bus.hpp"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kestrel::testing {

PrivateSessionBus::PrivateSessionBus(bool serviceActivation) {
    std::vector<std::string> arguments = {"dbus-daemon", "--nofork", "--print-address=1"};
    if (serviceActivation) {
        arguments.push_back("--session");
    } else {
        // The session configuration without its service directories: a name is there only while
        // a program owns it.
        const std::filesystem::path config = directory_.path() / "session.conf";
        std::ofstream(config)
            << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)"
            << directory_.path().string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
        arguments.push_back("--config-file=" + config.string());
    }
    daemon_.emplace(arguments, environmentWith({}));
    const auto line = daemon_->readLine(std::chrono::seconds(10));
    if (!line || line->empty())
        throw std::runtime_error("dbus-daemon did not start: " + daemon_->standardError());
    address_ = *line;
    variable_.emplace("DBUS_SESSION_BUS_ADDRESS", address_);
}

std::vector<std::string> PrivateSessionBus::environment() const {
    return environmentWith({{"DBUS_SESSION_BUS_ADDRESS", address_}});
}

bool PrivateSessionBus::waitForName(const std::string& name) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const ProcessOutput output = runProcess(
            {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
            environment());
        if (output.standardOutput.find("boolean true") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace kestrel::testing
