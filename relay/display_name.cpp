#include "relay/display_name.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

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

}  // namespace kestrel
