#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel::cli {

struct ServeOptions {
    std::uint16_t port = 0;            // 0: chosen by the system
    std::optional<std::string> name;   // default: the host's name
    std::string secretStore = "auto";  // auto | file | secret-service
    bool json = false;
};

// Runs the relay in the foreground until SIGINT or SIGTERM. Returns the exit status.
int runServe(const ServeOptions& options);

}  // namespace kestrel::cli
