#pragma once

// Pairing helpers: the six-digit code, the bootstrap key both sides derive from it, and the
// long-term key a paired device receives. The code never crosses the network; a device proves
// it read the code by completing a secure-channel handshake under the bootstrap key.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "protocol/crypto.hpp"

namespace kestrel::Pairing {

inline constexpr std::size_t longTermKeyLength = 32;
inline constexpr std::uint32_t codeSpace = 1'000'000;

// Six ASCII digits with leading zeros: the source's value modulo one million. Calls the source
// exactly once.
std::string generateCode(const std::function<std::uint32_t()>& source);

// A value drawn uniformly from 0 to 999,999 by the secure random source (rejection sampling,
// so no code is likelier than another): the source the relay gives generateCode.
std::uint32_t secureCodeSource();

// HKDF-SHA256 over the code's numeric characters (salt "tidewell-relay-pairing-v1", info
// "bootstrap-psk", 32 bytes). A character is kept when its first code point has a Unicode
// Numeric_Type other than None, so "123 456", "12-34-56" and "123456" give the same key, while
// a digit of another script keeps its own UTF-8 bytes and gives another key. Never fails.
SymmetricKey bootstrapPSK(std::string_view code);

// 32 fresh bytes from the secure random source.
SymmetricKey generateLongTermPSK();

}  // namespace kestrel::Pairing
