#include "app/relay/control_protocol.hpp"

#include <ctime>

#include "platform/paths.hpp"

namespace kestrel::control {

std::string socketDirectory() { return runtimeDirectory(); }

std::string socketPath() { return socketDirectory() + "/control.sock"; }

std::string lockPath() { return socketDirectory() + "/relay.lock"; }

std::string isoDate(Date date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace kestrel::control
