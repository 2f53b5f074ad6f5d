#pragma once

// The benchmarks' command lines, read with the CLI's own parser: the same one-line usage errors,
// and --help (or -h) prints the usage and exits.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/common/arguments.hpp"

namespace kestrel::bench {

// The options besides --help; no positional arguments.
inline cli::Arguments readArguments(int argc, char** argv, std::vector<cli::OptionSpec> options,
                                    const char* usage) {
    options.push_back({"help", false, 'h'});
    cli::Arguments arguments(std::vector<std::string>(argv + 1, argv + argc), options);
    arguments.expectPositional(0, "");
    if (arguments.has("help")) {
        std::fputs(usage, stdout);
        std::exit(0);
    }
    return arguments;
}

// An integer option from min to max, or fallback when it is not given.
inline int wholeNumber(const cli::Arguments& arguments, const char* name, int fallback, long min,
                       long max) {
    return static_cast<int>(arguments.integer(name, min, max).value_or(fallback));
}

}  // namespace kestrel::bench
