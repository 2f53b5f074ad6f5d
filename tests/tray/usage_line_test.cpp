#include "app/tray/usage_line.hpp"

#include <gtest/gtest.h>
#include <unicode/locid.h>

namespace kestrel {
namespace {

using namespace std::chrono_literals;

TEST(UsageLineTest, SaysHowLongAgoInTheLargestWholeUnit) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale::getUS(), status);
    const Date now = std::chrono::system_clock::now();
    const struct {
        std::optional<Date> lastUsedAt;
        std::string expected;
    } cases[] = {
        {std::nullopt, "never used"},
        {now - 2h, "used 2 hours ago"},
        {now - 119min, "used 1 hour ago"},
        {now - 1min, "used 1 minute ago"},
        {now - 30s, "used 30 seconds ago"},
        {now - 3 * 24h, "used 3 days ago"},
        {now - 15 * 24h, "used 2 weeks ago"},
        {now - 400 * 24h, "used 1 year ago"},
        // Another computer's clock ahead of ours.
        {now + 5min, "used in 5 minutes"},
    };
    for (const auto& [lastUsedAt, expected] : cases)
        EXPECT_EQ(usageLine(lastUsedAt, now), expected);
}

}  // namespace
}  // namespace kestrel
