#pragma once

// Device identifiers: RFC 4122 UUIDs, exchanged as 36-character hyphenated text.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    // Exactly 36 characters: hex digits of either case in groups of 8-4-4-4-12, separated by
    // hyphens. Nothing else (no braces, no "urn:uuid:", no surrounding spaces) is accepted.
    static std::optional<UUID> fromString(std::string_view text);

    // A version 4 (random) UUID from the secure random source; throws as fillRandom does.
    static UUID random();

    // The 36-character form with upper-case hex digits, the form clients expect.
    std::string uuidString() const;

    friend auto operator<=>(const UUID&, const UUID&) = default;
    friend bool operator==(const UUID&, const UUID&) = default;
};

}  // namespace kestrel

template <>
struct std::hash<kestrel::UUID> {
    std::size_t operator()(const kestrel::UUID& uuid) const noexcept;
};
