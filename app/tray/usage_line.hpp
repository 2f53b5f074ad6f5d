#pragma once

#include <optional>
#include <string>

#include "protocol/date.hpp"

namespace kestrel {

// A device row's second line: "used " and how long ago in the user's language ("used 2 hours
// ago", through ICU's relative formatter, full unit names, numeric), or "never used". The
// largest whole unit is used, from years down to seconds; a date ahead of now (another
// computer's clock) reads "in …".
std::string usageLine(const std::optional<Date>& lastUsedAt, Date now);

}  // namespace kestrel
