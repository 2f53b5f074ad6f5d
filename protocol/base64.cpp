#include "protocol/base64.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

// Written here rather than taken from OpenSSL: EVP_DecodeBlock skips whitespace and cannot
// say how much padding it saw, and strictness is the point of the decoder.

namespace kestrel {
namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::int8_t invalid = -1;

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    table.fill(invalid);
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

constexpr std::array<std::int8_t, 256> decodeTable = makeDecodeTable();

std::size_t paddingLength(std::string_view text) {
    if (text.ends_with("==")) return 2;
    if (text.ends_with('=')) return 1;
    return 0;
}

// The four 6-bit values of one group; padding characters count as 0. False on any character
// outside the alphabet (including a "=" that the caller did not strip as padding).
bool sextets(std::string_view group, std::size_t padding, std::array<std::uint32_t, 4>& out) {
    for (std::size_t i = 0; i < 4; ++i) {
        if (i >= 4 - padding) {
            out[i] = 0;
            continue;
        }
        const std::int8_t value = decodeTable[static_cast<unsigned char>(group[i])];
        if (value == invalid) return false;
        out[i] = static_cast<std::uint32_t>(value);
    }
    return true;
}

}  // namespace

namespace {

// Writes base64Length(bytes.size()) characters at out.
template <typename Character>
void encodeInto(ByteView bytes, Character* out) {
    for (std::size_t i = 0; i < bytes.size(); i += 3, out += 4) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (count > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
        if (count > 2) group |= bytes[i + 2];
        for (std::size_t k = 0; k < 4; ++k) {
            out[k] =
                static_cast<Character>(k <= count ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
        }
    }
}

}  // namespace

std::string base64Encode(ByteView bytes) {
    std::string text(base64Length(bytes.size()), '\0');
    encodeInto(bytes, text.data());
    return text;
}

void base64EncodeTo(ByteView bytes, std::uint8_t* out) { encodeInto(bytes, out); }

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    const std::size_t padding = paddingLength(text);
    Bytes bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::array<std::uint32_t, 4> values{};
        if (!sextets(text.substr(i, 4), last ? padding : 0, values)) return std::nullopt;
        const std::uint32_t group = values[0] << 18 | values[1] << 12 | values[2] << 6 | values[3];
        const std::size_t count = 3 - (last ? padding : 0);
        for (std::size_t k = 0; k < count; ++k) {
            bytes.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * k)));
        }
    }
    return bytes;
}

}  // namespace kestrel
