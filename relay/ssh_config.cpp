#include "relay/ssh_config.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

// ICU's UTF-8 macros index with int32_t; a longer text is treated as unreadable.
constexpr std::size_t maxTextLength = std::numeric_limits<std::int32_t>::max();

// Strict: overlong forms, surrogates and values past U+10FFFF are refused, as a UTF-8 file
// reader refuses them.
bool isValidUTF8(std::string_view text) {
    if (text.size() > maxTextLength) return false;
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t offset = 0; offset < length;) {
        UChar32 codePoint = 0;
        U8_NEXT(text.data(), offset, length, codePoint);
        if (codePoint < 0) return false;
    }
    return true;
}

bool isLineBreak(UChar32 codePoint) {
    return (codePoint >= 0x0A && codePoint <= 0x0D) || codePoint == 0x85 || codePoint == 0x2028 ||
           codePoint == 0x2029;
}

bool isBlank(UChar32 codePoint) {
    return codePoint == '\t' || u_charType(codePoint) == U_SPACE_SEPARATOR;
}

// The non-empty lines of valid UTF-8 text, as views into it. CR LF needs no special case:
// the empty line between CR and LF is dropped like every other empty line.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t lineStart = 0;
    for (std::int32_t offset = 0; offset < length;) {
        const std::int32_t breakStart = offset;
        UChar32 codePoint = 0;
        U8_NEXT(text.data(), offset, length, codePoint);
        if (!isLineBreak(codePoint)) continue;
        if (breakStart > lineStart) lines.push_back(text.substr(lineStart, breakStart - lineStart));
        lineStart = offset;
    }
    if (length > lineStart) lines.push_back(text.substr(lineStart));
    return lines;
}

// The line without leading and trailing blanks; the line is valid UTF-8.
std::string_view trimBlanks(std::string_view line) {
    const auto length = static_cast<std::int32_t>(line.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 codePoint = 0;
        U8_NEXT(line.data(), next, length, codePoint);
        if (!isBlank(codePoint)) break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 codePoint = 0;
        U8_PREV(line.data(), begin, previous, codePoint);
        if (!isBlank(codePoint)) break;
        end = previous;
    }
    return line.substr(begin, end - begin);
}

std::string_view trimAny(std::string_view text, std::string_view characters) {
    const auto begin = text.find_first_not_of(characters);
    if (begin == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(characters);
    return text.substr(begin, end - begin + 1);
}

// ASCII folding is enough: the words compared against ("identityagent", "none") are ASCII, and
// no other character lower-cases to one of their letters (U+0130 becomes "i" plus a combining
// dot, U+212A "k" is not among them), so full Unicode lower-casing would match the same texts.
bool equalsIgnoringCase(std::string_view text, std::string_view lowerCaseWord) {
    if (text.size() != lowerCaseWord.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char folded = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (folded != lowerCaseWord[i]) return false;
    }
    return true;
}

// The value of an IdentityAgent line (possibly empty), or none for any other line. All the
// characters looked for here are ASCII, so byte searches on valid UTF-8 find exactly them.
std::optional<std::string_view> identityAgentValue(std::string_view trimmedLine) {
    if (trimmedLine.empty() || trimmedLine.front() == '#') return std::nullopt;
    const auto separator = trimmedLine.find_first_of(" \t=");
    if (separator == std::string_view::npos) return std::nullopt;
    if (!equalsIgnoringCase(trimmedLine.substr(0, separator), "identityagent")) {
        return std::nullopt;
    }
    return trimAny(trimmedLine.substr(separator + 1), " \t=\"");
}

std::string joinPath(std::string_view directory, std::string_view component) {
    while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
    if (component.empty()) return std::string(directory);
    std::string path(directory);
    if (path.empty() || path.back() != '/') path += '/';
    path += component;
    return path;
}

std::optional<std::string> resolveValue(std::string_view value, std::string_view homeDirectory,
                                        std::optional<std::string> sshAuthSock) {
    if (value.empty() || equalsIgnoringCase(value, "none")) return std::nullopt;
    std::string_view name = value;
    if (name.starts_with('$')) name.remove_prefix(1);
    if (name == "SSH_AUTH_SOCK" || name == "{SSH_AUTH_SOCK}") return sshAuthSock;
    if (value.starts_with("~/")) return joinPath(homeDirectory, value.substr(2));
    return std::string(value);
}

}  // namespace

std::optional<std::string> identityAgentFromConfig(std::string_view configText,
                                                   std::string_view homeDirectory,
                                                   std::optional<std::string> sshAuthSock) {
    if (!isValidUTF8(configText)) return std::nullopt;
    for (const std::string_view line : splitLines(configText)) {
        if (const auto value = identityAgentValue(trimBlanks(line))) {
            return resolveValue(*value, homeDirectory, std::move(sshAuthSock));
        }
    }
    return std::nullopt;
}

}  // namespace kestrel
