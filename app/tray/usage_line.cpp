#include "app/tray/usage_line.hpp"

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>
#include <unicode/unistr.h>

#include <array>
#include <cmath>
#include <memory>
#include <utility>

namespace kestrel {

std::string usageLine(const std::optional<Date>& lastUsedAt, Date now) {
    if (!lastUsedAt) return "never used";
    const double seconds = std::chrono::duration<double>(now - *lastUsedAt).count();
    constexpr double day = 86400;
    static constexpr std::array<std::pair<double, URelativeDateTimeUnit>, 7> units{{
        {365 * day, UDAT_REL_UNIT_YEAR},
        {30 * day, UDAT_REL_UNIT_MONTH},
        {7 * day, UDAT_REL_UNIT_WEEK},
        {day, UDAT_REL_UNIT_DAY},
        {3600, UDAT_REL_UNIT_HOUR},
        {60, UDAT_REL_UNIT_MINUTE},
        {1, UDAT_REL_UNIT_SECOND},
    }};
    auto [length, unit] = units.back();
    for (const auto& [unitLength, candidate] : units) {
        if (std::fabs(seconds) >= unitLength) {
            length = unitLength;
            unit = candidate;
            break;
        }
    }
    // Past dates count back (negative offsets read "… ago").
    const double count = -std::trunc(seconds / length);

    UErrorCode status = U_ZERO_ERROR;
    const icu::RelativeDateTimeFormatter formatter(icu::Locale::getDefault(), status);
    icu::UnicodeString text;
    if (U_SUCCESS(status)) formatter.formatNumeric(count, unit, text, status);
    if (U_FAILURE(status)) return "used";
    std::string relative;
    text.toUTF8String(relative);
    return "used " + relative;
}

}  // namespace kestrel
