#include "protocol/uuid.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <unordered_set>

#include "test_support.hpp"

namespace kestrel {
namespace {

constexpr std::string_view canonical = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

TEST(UUID, ReadsEitherCaseAndWritesUpperCase) {
    const std::string_view accepted[] = {
        canonical,
        "e621e1f8-c36c-495a-93fc-0c247a3e6e5f",
        "e621E1f8-C36c-495A-93fC-0c247a3E6e5F",
    };
    for (std::string_view text : accepted) {
        SCOPED_TRACE(text);
        const auto uuid = UUID::fromString(text);
        ASSERT_TRUE(uuid);
        EXPECT_EQ(testing::toHex(uuid->bytes), "e621e1f8c36c495a93fc0c247a3e6e5f");
        EXPECT_EQ(uuid->uuidString(), canonical);
    }
}

TEST(UUID, RejectsAnyOtherForm) {
    const std::string_view rejected[] = {
        "",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5",            // 35 characters
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",          // 37 characters
        "E621E1F8C36C495A93FC0C247A3E6E5F",               // no hyphens
        "E621E1F8C-36C-495A-93FC-0C247A3E6E5F",           // hyphen moved
        "E621E1F8-C36C-495A-93FC+0C247A3E6E5F",           // wrong separator
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",           // not hex
        "{E621E1F8-C36C-495A-93FC-0C247A3E6E5}",          // braces
        " E621E1F8-C36C-495A-93FC-0C247A3E6E5",           // leading space
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5\n",          // trailing line break
        "urn:uuid:E621E1F8-C36C-495A-93FC-0C247A3E6E5F",  // URN
        "E621E1F8-C36C-495A-93FC-0C247A3E6E\xc3\xa9",     // non-ASCII
    };
    for (std::string_view text : rejected) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(UUID::fromString(text));
    }
}

TEST(UUID, RandomIsVersion4AndRoundTripsThroughText) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 32; ++i) {
        const UUID uuid = UUID::random();
        EXPECT_EQ(uuid.bytes[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes[8] >> 6, 2);
        EXPECT_EQ(UUID::fromString(uuid.uuidString()), uuid);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 32u);
}

}  // namespace
}  // namespace kestrel
