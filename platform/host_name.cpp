#include "platform/host_name.hpp"

#include <limits.h>
#include <unistd.h>

#include <optional>
#include <string_view>
#include <system_error>

#include "platform/atomic_file.hpp"
#include "platform/text_lines.hpp"

namespace kestrel {
namespace {

constexpr const char* defaultMachineInfoPath = "/etc/machine-info";
constexpr const char* fallbackName = "Linux";
constexpr std::size_t machineInfoReadLimit = 64 * 1024;

// A value in the shell-like syntax of machine-info (os-release(5), machine-info(5)): single
// quotes are literal, double quotes and bare text take backslash escapes. Blanks between words
// are kept, as people write unquoted names with spaces too.
std::string unquoted(std::string_view raw) {
    std::string value;
    char quote = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else if (c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'' && i + 1 < raw.size()) {
            value += raw[++i];
        } else {
            value += c;
        }
    }
    return value;
}

// The last assignment wins, as when a shell sources the file.
std::optional<std::string> prettyHostName(const std::string& path) {
    std::optional<Bytes> content;
    try {
        content = readFile(path, machineInfoReadLimit);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    if (!content) return std::nullopt;
    std::optional<std::string> name;
    std::string_view text(reinterpret_cast<const char*>(content->data()), content->size());
    while (!text.empty()) {
        const std::string_view line = takeTrimmedLine(text);
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.starts_with(key)) name = std::string(trimmed(unquoted(line.substr(key.size()))));
    }
    if (!name || name->empty()) return std::nullopt;
    return name;
}

std::optional<std::string> systemHostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return std::nullopt;
    return std::string(buffer);
}

}  // namespace

std::string localizedHostName() { return localizedHostName(defaultMachineInfoPath); }

std::string localizedHostName(const std::string& machineInfoPath) {
    if (auto pretty = prettyHostName(machineInfoPath)) return *pretty;
    if (auto name = systemHostName()) return *name;
    return fallbackName;
}

}  // namespace kestrel
