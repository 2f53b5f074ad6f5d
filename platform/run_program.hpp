#pragma once

// Running a helper program of the system (gpgconf, systemctl) from the relay: no shell, standard
// input and error on /dev/null, standard output collected.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct ProgramOutput {
    int exitStatus = -1;  // -1 when a signal ended it
    std::string standardOutput;
};

// Runs arguments[0], found on PATH, to its end. Keeps at most outputLimit bytes of what it
// prints. None when it cannot be started (not installed).
std::optional<ProgramOutput> runProgram(const std::vector<std::string>& arguments,
                                        std::size_t outputLimit = 4096);

}  // namespace kestrel
