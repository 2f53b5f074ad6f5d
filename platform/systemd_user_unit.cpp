#include "platform/systemd_user_unit.hpp"

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/atomic_file.hpp"
#include "platform/paths.hpp"
#include "platform/run_program.hpp"
#include "protocol/bytes.hpp"

namespace kestrel {
namespace {

// The unit as shipped in packaging/kestrel-relay.service, with the path filled in.
constexpr std::string_view unitTemplate =
    "[Unit]\n"
    "Description=Kestrel Agent Relay: lends this computer's SSH agent to paired devices\n"
    "After=network.target avahi-daemon.service\n"
    "\n"
    "[Service]\n"
    "Type=simple\n"
    "ExecStart=@KESTREL_RELAY@ serve\n"
    "Restart=on-failure\n"
    "RestartSec=5\n"
    "\n"
    "[Install]\n"
    "WantedBy=default.target\n";

// Runs `systemctl --user ARGUMENTS...`; its exit status, or -1 when it cannot be run.
int systemctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {"systemctl", "--user", "--quiet"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    const auto output = runProgram(words);
    return output ? output->exitStatus : -1;
}

}  // namespace

SystemdUserUnitLoginItem::SystemdUserUnitLoginItem(std::string executable,
                                                   std::string unitDirectory)
    : executable_(std::move(executable)), unitDirectory_(std::move(unitDirectory)) {}

std::string SystemdUserUnitLoginItem::defaultUnitDirectory() {
    return configHome() + "/systemd/user";
}

std::string SystemdUserUnitLoginItem::unitText(const std::string& executable) {
    std::string text(unitTemplate);
    const std::string marker = "@KESTREL_RELAY@";
    // systemd splits ExecStart at spaces unless the path is quoted.
    const std::string quoted =
        executable.find(' ') == std::string::npos ? executable : "\"" + executable + "\"";
    text.replace(text.find(marker), marker.size(), quoted);
    return text;
}

bool SystemdUserUnitLoginItem::isEnabled() const {
    std::error_code ignored;
    return std::filesystem::exists(wantsLinkPath(), ignored) &&
           std::filesystem::exists(unitPath(), ignored);
}

void SystemdUserUnitLoginItem::setEnabled(bool enabled) {
    std::error_code ignored;
    if (!enabled) {
        systemctl({"disable", "kestrel-relay.service"});
        // Without a user instance systemctl cannot do it; the files are all there is.
        std::filesystem::remove(wantsLinkPath(), ignored);
        std::filesystem::remove(unitPath(), ignored);
        systemctl({"daemon-reload"});
        return;
    }
    const bool hadUnit = std::filesystem::exists(unitPath(), ignored);
    std::filesystem::create_directories(unitDirectory_);
    const std::string text = unitText(executable_);
    writeFileAtomically(unitPath(),
                        ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const int reloaded = systemctl({"daemon-reload"});
    const int result = reloaded == 0 ? systemctl({"enable", "kestrel-relay.service"}) : reloaded;
    if (result == 0 && isEnabled()) return;
    if (!hadUnit) std::filesystem::remove(unitPath(), ignored);
    throw std::system_error(
        std::make_error_code(std::errc::operation_not_supported),
        result < 0 ? "systemctl is not installed"
                   : "no systemd user instance answers (systemctl --user failed); start `" +
                         executable_ + " serve` from your session's startup instead");
}

}  // namespace kestrel
