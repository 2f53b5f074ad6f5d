#include "protocol/pairing.hpp"

#include <openssl/crypto.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace kestrel::Pairing {
namespace {

constexpr std::string_view saltLabel = "tidewell-relay-pairing-v1";
constexpr std::string_view infoLabel = "bootstrap-psk";

bool isNumeric(UChar32 codePoint) {
    return u_getIntPropertyValue(codePoint, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// The UTF-8 bytes of the grapheme clusters whose first code point is numeric, in order.
std::string numericCharacters(std::string_view code) {
    if (code.size() > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("code too long");
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(code.data(), static_cast<std::int32_t>(code.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> graphemes(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) throw std::runtime_error("ICU grapheme iterator unavailable");
    graphemes->setText(text);

    std::string kept;
    std::int32_t start = graphemes->first();
    for (std::int32_t end = graphemes->next(); end != icu::BreakIterator::DONE;
         start = end, end = graphemes->next()) {
        if (isNumeric(text.char32At(start)))
            text.tempSubStringBetween(start, end).toUTF8String(kept);
    }
    return kept;
}

}  // namespace

std::string generateCode(const std::function<std::uint32_t()>& source) {
    const std::uint32_t value = source() % codeSpace;
    std::array<char, 8> digits{};
    std::snprintf(digits.data(), digits.size(), "%06u", static_cast<unsigned>(value));
    return digits.data();
}

std::uint32_t secureCodeSource() {
    // The largest multiple of a million that fits in 32 bits; values at or above it would make
    // the low codes likelier, so they are drawn again.
    constexpr std::uint32_t limit = UINT32_MAX - UINT32_MAX % codeSpace;
    for (;;) {
        std::array<std::uint8_t, 4> bytes;
        fillRandom(bytes);
        const std::uint32_t value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                    std::uint32_t{bytes[2]} << 8 | bytes[3];
        if (value < limit) return value % codeSpace;
    }
}

SymmetricKey bootstrapPSK(std::string_view code) {
    static const Bytes salt = toBytes(saltLabel);
    std::string material = numericCharacters(code);
    SymmetricKey key = hkdfSHA256(asBytes(material), salt, asBytes(infoLabel), 32);
    OPENSSL_cleanse(material.data(), material.size());
    return key;
}

SymmetricKey generateLongTermPSK() { return SymmetricKey::random(longTermKeyLength); }

}  // namespace kestrel::Pairing
