#pragma once

#include <string>
#include <vector>

namespace kestrel::cli {

// The subcommands that talk to a running relay. Each returns the exit status: 0 done, 1 the
// relay is not running or refused, 2 a bad command line (thrown as UsageError before).
int runStatus(const std::vector<std::string>& words);
int runPair(const std::vector<std::string>& words);
int runCancelPairing(const std::vector<std::string>& words);
int runDevices(const std::vector<std::string>& words);
int runRevoke(const std::vector<std::string>& words);
int runConfig(const std::vector<std::string>& words);
int runAgent(const std::vector<std::string>& words);

// The six digits drawn large, for reading across a room.
std::string largeDigits(const std::string& code);

}  // namespace kestrel::cli
