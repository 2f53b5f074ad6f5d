#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

// The longest device name kept, in code points.
inline constexpr std::size_t maxDisplayNameLength = 64;

// A device's name for itself, made safe to show: the name comes from the network, and is later
// printed in a terminal, a notice and the device list. Control characters, bidirectional
// overrides and isolates, line separators and default-ignorable code points (which show as
// nothing) are removed; invalid UTF-8 becomes U+FFFD; the result is trimmed and cut to
// maxDisplayNameLength code points (never inside a character). An empty result becomes
// "Unnamed device".
std::string cleanDisplayName(std::string_view name);

// Text from elsewhere (a user name or key comment in a sign request, which the device chose)
// made safe to show without hiding that something was odd: each character cleanDisplayName
// would remove, and each invalid UTF-8 sequence, becomes U+FFFD; text longer than maxLength
// code points is cut there and ends with "…".
std::string visibleText(std::string_view text, std::size_t maxLength);

}  // namespace kestrel
