#pragma once

#include <string>
#include <vector>

#include "app/common/arguments.hpp"
#include "app/relay/relay_runtime.hpp"

namespace kestrel::cli {

struct ServeOptions {
    RelayRuntimeOptions runtime;
    bool json = false;
};

// The options every front end of the relay takes: --port, --name and --secret-store.
extern const std::vector<OptionSpec> runtimeOptionSpecs;
// Reads them from arguments parsed with (at least) runtimeOptionSpecs; throws UsageError.
RelayRuntimeOptions runtimeOptions(const Arguments& arguments);

// Runs the relay in the foreground until SIGINT or SIGTERM. Returns the exit status.
int runServe(const ServeOptions& options);

}  // namespace kestrel::cli
