#include "protocol/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "test_support.hpp"

namespace kestrel {
namespace {

using testing::fromHex;
using testing::toHex;

struct Vector {
    std::string_view hex;
    std::string_view text;
};

// RFC 4648 section 10, plus bytes that use "+" and "/".
constexpr Vector vectors[] = {
    {"", ""},
    {"66", "Zg=="},
    {"666f", "Zm8="},
    {"666f6f", "Zm9v"},
    {"666f6f62", "Zm9vYg=="},
    {"666f6f6261", "Zm9vYmE="},
    {"666f6f626172", "Zm9vYmFy"},
    {"fbff", "+/8="},
    {"000000010b", "AAAAAQs="},
};

TEST(Base64, EncodesAndDecodesKnownVectors) {
    for (const Vector& vector : vectors) {
        SCOPED_TRACE(vector.text);
        EXPECT_EQ(base64Encode(fromHex(vector.hex)), vector.text);
        const auto decoded = base64Decode(vector.text);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(toHex(*decoded), vector.hex);
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    Bytes bytes;
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
    for (std::size_t length : {254u, 255u, 256u}) {
        const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(base64Decode(base64Encode(prefix)), prefix);
    }
}

// Clients pad and use neither whitespace nor the URL-safe alphabet; anything else is damage.
TEST(Base64, RejectsAnythingButStrictPaddedText) {
    using namespace std::string_view_literals;
    const std::string_view rejected[] = {
        "Zg",            // unpadded
        "Zm8",           // unpadded
        "Zg=",           // short padding
        "Z===",          // three padding characters
        "====",          // padding only
        "Zg==Zm9v",      // padding before the end
        "Zm=v",          // padding inside the last group
        "=m9v",          // padding first
        "Zm9v====",      // a whole group of padding
        "Zm9 v",         // a space
        "Zm9v\n",        // a trailing line break
        "Zm9v\r\nZm9v",  // a line break between groups
        " Zm9",          // a leading space
        "Zm9-",          // URL-safe alphabet
        "Zm9_",          // URL-safe alphabet
        "Zm\xc3\xa9",    // non-ASCII
        "Zm\0v"sv,       // NUL
    };
    for (std::string_view text : rejected) {
        SCOPED_TRACE(testing::toHex(asBytes(text)));
        EXPECT_FALSE(base64Decode(text));
    }
}

// Unused low bits of the last character are ignored rather than refused, as clients do.
TEST(Base64, IgnoresNonZeroUnusedBits) {
    EXPECT_EQ(base64Decode("Zh=="), fromHex("66"));
    EXPECT_EQ(base64Decode("Zm9="), fromHex("666f"));
}

}  // namespace
}  // namespace kestrel
