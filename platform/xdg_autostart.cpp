#include "platform/xdg_autostart.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/atomic_file.hpp"
#include "platform/paths.hpp"
#include "platform/text_lines.hpp"
#include "platform/unique_fd.hpp"

namespace kestrel {
namespace {

// The program as an Exec value: bare when it is plain, else quoted by the freedesktop.org
// Desktop Entry rules (backslash before " ` $ \ inside the quotes, then every backslash doubled
// for the string value), with % doubled so that it is no field code.
std::string execArgument(std::string_view program) {
    const bool plain = std::all_of(program.begin(), program.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("/._+-").find(c) != std::string_view::npos;
    });
    if (plain && !program.empty()) return std::string(program);
    std::string quoted = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
            quoted += c;
        } else if (c == '\\') {
            quoted += "\\\\\\\\";
        } else if (c == '%') {
            quoted += "%%";
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

constexpr std::size_t entryReadLimit = 1024 * 1024;

// Desktop entry format: "Key=Value" lines in groups; blanks around "=" are ignored.
// Booleans are "true" and "false"; GLib, which most desktops use to read them, takes "1" and
// "0" as well.
bool switchesItselfOff(std::string_view key, std::string_view value) {
    return (key == "Hidden" && (value == "true" || value == "1")) ||
           (key == "X-GNOME-Autostart-enabled" && (value == "false" || value == "0"));
}

bool entryIsSwitchedOff(std::string_view text) {
    bool inDesktopEntryGroup = false;
    while (!text.empty()) {
        const std::string_view line = takeTrimmedLine(text);
        if (line.starts_with('[')) {
            inDesktopEntryGroup = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inDesktopEntryGroup || equals == std::string_view::npos) continue;
        if (switchesItselfOff(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)))) {
            return true;
        }
    }
    return false;
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem() : XdgAutostartLoginItem(defaultEntryPath()) {}

XdgAutostartLoginItem::XdgAutostartLoginItem(std::string entryPath, std::string program)
    : entryPath_(std::move(entryPath)), program_(std::move(program)) {}

std::string XdgAutostartLoginItem::defaultEntryPath() {
    return configHome() + "/autostart/kestrel-relay-tray.desktop";
}

std::string XdgAutostartLoginItem::entryText(std::string_view program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Kestrel Agent Relay\n"
           "Exec=" +
           execArgument(program) +
           "\n"
           "Icon=kestrel-relay\n"
           "X-GNOME-Autostart-enabled=true\n";
}

// An entry that cannot be read cannot start the app either, so it counts as off.
bool XdgAutostartLoginItem::isEnabled() const {
    std::optional<Bytes> content;
    try {
        content = readFile(entryPath_, entryReadLimit);
    } catch (const std::system_error&) {
        return false;
    }
    return content && !entryIsSwitchedOff(toText(*content));
}

void XdgAutostartLoginItem::setEnabled(bool enabled) {
    if (enabled) {
        createMissingDirectories(parentDirectory(entryPath_));
        writeFileAtomically(entryPath_, asBytes(entryText(program_)));
    } else if (unlink(entryPath_.c_str()) != 0 && errno != ENOENT) {
        detail::throwErrno(errno, "cannot remove the autostart entry " + entryPath_);
    }
}

}  // namespace kestrel
