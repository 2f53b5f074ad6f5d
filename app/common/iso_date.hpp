#pragma once

#include <ctime>
#include <string>

#include "protocol/date.hpp"

namespace kestrel::cli {

// ISO 8601 UTC text ("2026-12-10T05:30:00Z"), the form dates take in --json output.
inline std::string isoDate(Date date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace kestrel::cli
