#include "protocol/date.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace kestrel {
namespace {

using Ticks = Date::duration::rep;
static_assert(std::is_same_v<Ticks, std::int64_t>, "the range checks assume 64-bit ticks");

constexpr double ticksPerSecond =
    static_cast<double>(Date::period::den) / static_cast<double>(Date::period::num);

constexpr Date referenceDate{std::chrono::seconds{978307200}};
constexpr Ticks referenceTicks = referenceDate.time_since_epoch().count();

constexpr double twoTo63 = 9223372036854775808.0;

}  // namespace

double secondsSinceReferenceDate(Date date) {
    const Ticks sinceEpoch = date.time_since_epoch().count();
    // Subtract in whole ticks where that cannot overflow: the difference is then exact and
    // only the division rounds.
    if (sinceEpoch < std::numeric_limits<Ticks>::min() + referenceTicks) {
        return (static_cast<double>(sinceEpoch) - static_cast<double>(referenceTicks)) /
               ticksPerSecond;
    }
    return static_cast<double>(sinceEpoch - referenceTicks) / ticksPerSecond;
}

std::optional<Date> dateFromReferenceSeconds(double seconds) {
    const double ticks = std::round(seconds * ticksPerSecond);
    const double sinceEpoch = ticks + static_cast<double>(referenceTicks);
    // Checked on the doubles, before the casts that are undefined out of range; NaN fails too.
    if (!(sinceEpoch >= -twoTo63 && sinceEpoch < twoTo63)) return std::nullopt;
    // The earliest dates the clock holds lie more than 2^63 ticks before the reference date.
    if (ticks < -twoTo63) return Date{Date::duration{static_cast<Ticks>(sinceEpoch)}};
    // Otherwise add in whole ticks, which is exact.
    const auto relative = static_cast<Ticks>(ticks);
    if (relative > std::numeric_limits<Ticks>::max() - referenceTicks) return std::nullopt;
    return Date{Date::duration{relative + referenceTicks}};
}

}  // namespace kestrel
