#pragma once

#include <string>
#include <vector>

namespace kestrel::cli {

// The subcommands that talk to a running relay. Each returns the exit status: 0 done, 1 the
// relay is not running or refused, 2 a bad command line (thrown as UsageError before), and for
// `pair` 3 when the device paired but is held until approved.
int runStatus(const std::vector<std::string>& words);
int runPair(const std::vector<std::string>& words);
int runCancelPairing(const std::vector<std::string>& words);
int runDevices(const std::vector<std::string>& words);
int runRevoke(const std::vector<std::string>& words);
int runApprove(const std::vector<std::string>& words);
int runConfig(const std::vector<std::string>& words);
int runAgent(const std::vector<std::string>& words);
int runActivity(const std::vector<std::string>& words);
int runDevice(const std::vector<std::string>& words);
int runAllow(const std::vector<std::string>& words);
int runDeny(const std::vector<std::string>& words);

// The exit status of a pairing whose device is held.
inline constexpr int heldExitStatus = 3;

// The six digits drawn large, for reading across a room.
std::string largeDigits(const std::string& code);

}  // namespace kestrel::cli
