#pragma once

// Dates as stored in JSON: fractional seconds since the reference date 2001-01-01 00:00:00 UTC
// (Unix time 978307200), the clients' native date form.

#include <chrono>
#include <optional>

namespace kestrel {

using Date = std::chrono::system_clock::time_point;

// Seconds since the reference date; negative before it. A double keeps a present-day date to
// well under a microsecond, so a date read back from this form may differ in its nanoseconds.
double secondsSinceReferenceDate(Date date);

// The date that many seconds after the reference date, rounded to the clock's tick. None when
// the value is not finite or the date falls outside what the system clock can hold.
std::optional<Date> dateFromReferenceSeconds(double seconds);

}  // namespace kestrel
