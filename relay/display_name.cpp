#include "relay/display_name.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>

namespace kestrel {
namespace {

// Default-ignorable code points (zero-width spaces and joiners, soft hyphens, variation
// selectors, tags, the BOM) show as nothing, so "Le\u200Bgit" would pass for "Legit".
bool isUnsafe(UChar32 c) {
    const auto category = static_cast<UCharCategory>(u_charType(c));
    return category == U_CONTROL_CHAR || category == U_LINE_SEPARATOR ||
           category == U_PARAGRAPH_SEPARATOR || u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL) ||
           u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
}

}  // namespace

std::string cleanDisplayName(std::string_view name) {
    // Far longer than any name worth keeping; stops a huge input before it is decoded.
    const std::size_t limit = std::min<std::size_t>(name.size(), maxDisplayNameLength * 8);
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(name.data(), static_cast<std::int32_t>(limit)));
    icu::UnicodeString kept;
    for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (!isUnsafe(c)) kept.append(c);
    }
    kept.trim();
    if (kept.countChar32() > static_cast<std::int32_t>(maxDisplayNameLength)) {
        kept.truncate(kept.moveIndex32(0, static_cast<std::int32_t>(maxDisplayNameLength)));
        kept.trim();
    }
    if (kept.isEmpty()) return "Unnamed device";
    std::string result;
    kept.toUTF8String(result);
    return result;
}

std::string visibleText(std::string_view text, std::size_t maxLength) {
    // Each code point takes at most 4 bytes: what lies past that many never shows.
    const std::size_t limit = std::min<std::size_t>(text.size(), (maxLength + 1) * 4);
    const auto decoded = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(limit)));
    icu::UnicodeString shown;
    std::size_t count = 0;
    for (std::int32_t i = 0; i < decoded.length(); i = decoded.moveIndex32(i, 1), ++count) {
        if (count == maxLength) {
            shown.append(static_cast<UChar32>(0x2026));
            break;
        }
        const UChar32 c = decoded.char32At(i);
        shown.append(isUnsafe(c) ? static_cast<UChar32>(0xFFFD) : c);
    }
    std::string result;
    shown.toUTF8String(result);
    return result;
}

}  // namespace kestrel
