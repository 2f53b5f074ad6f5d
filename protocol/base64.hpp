#pragma once

// Base64 with the standard RFC 4648 alphabet ("+", "/") and "=" padding, on one line. This is
// the form every byte string takes inside the relay's JSON records.

#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.hpp"

namespace kestrel {

// Always padded to a multiple of four characters.
std::string base64Encode(ByteView bytes);

// Strict: the length must be a multiple of four, only alphabet characters, and at most two
// "=" that end the text. No whitespace or line breaks. Unused low bits of the last character
// are ignored, whatever their value. None when the text breaks any of these rules.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace kestrel
