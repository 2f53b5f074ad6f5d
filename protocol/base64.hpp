#pragma once

// Base64 with the standard RFC 4648 alphabet ("+", "/") and "=" padding, on one line. This is
// the form every byte string takes inside the relay's JSON records.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.hpp"

namespace kestrel {

// Always padded to a multiple of four characters.
std::string base64Encode(ByteView bytes);
// The same characters, written at out, which must have room for base64Length(bytes.size()).
void base64EncodeTo(ByteView bytes, std::uint8_t* out);
// How many characters base64Encode gives for byteCount bytes.
constexpr std::size_t base64Length(std::size_t byteCount) noexcept {
    return (byteCount + 2) / 3 * 4;
}

// Strict: the length must be a multiple of four, only alphabet characters, and at most two
// "=" that end the text. No whitespace or line breaks. Unused low bits of the last character
// are ignored, whatever their value. None when the text breaks any of these rules.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace kestrel
