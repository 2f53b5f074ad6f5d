#pragma once

// Helpers shared by the fuzz targets. A target catches exactly the errors its parser documents;
// anything else that escapes (another exception, a sanitizer report, a failed property here)
// stops the fuzzer with the input as a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "protocol/bytes.hpp"

namespace kestrel::fuzz {

// Reports which property failed, then aborts so that libFuzzer (or the replay) keeps the input.
[[noreturn]] inline void fail(const char* property) {
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    std::fflush(stderr);
    std::abort();
}

inline void require(bool holds, const char* property) {
    if (!holds) fail(property);
}

inline std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Consumes the fuzzer's bytes front to back, for targets whose input is a small program
// (which reads to make, how long each piece is) followed by data. Reading past the end gives
// zeros and empty pieces, so every input is a valid program.
class InputReader {
public:
    explicit InputReader(ByteView bytes) : rest_(bytes) {}

    bool empty() const noexcept { return rest_.empty(); }

    std::uint8_t byte() noexcept {
        if (rest_.empty()) return 0;
        const std::uint8_t value = rest_.front();
        rest_ = rest_.subspan(1);
        return value;
    }

    // Up to `count` bytes: fewer when the input ends first.
    ByteView take(std::size_t count) noexcept {
        const ByteView piece = rest_.first(count < rest_.size() ? count : rest_.size());
        rest_ = rest_.subspan(piece.size());
        return piece;
    }

    // A piece whose length is given by the byte before it.
    ByteView piece() noexcept { return take(byte()); }

    ByteView rest() noexcept { return take(rest_.size()); }

private:
    ByteView rest_;
};

}  // namespace kestrel::fuzz
