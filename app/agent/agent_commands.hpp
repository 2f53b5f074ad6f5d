#pragma once

// The subcommands of kestrel-agent. Each takes the words after its name, returns the exit
// status, and throws cli::UsageError (exit 2) or another exception (exit 1) with one line.

#include <string>
#include <vector>

namespace kestrel::agent {

int runPair(const std::vector<std::string>& words);
int runServe(const std::vector<std::string>& words);
int runList(const std::vector<std::string>& words);
int runForget(const std::vector<std::string>& words);

// The six digits of a pairing code as typed: "123456", "123 456" and "12-34-56" all give
// "123456". Anything else is a cli::UsageError, so that a typo never uses up the relay's code.
std::string pairingCodeDigits(const std::string& typed);

// text as one word for a POSIX shell: unchanged when it holds only characters no shell treats
// specially, else in single quotes. For the lines that `eval "$(kestrel-agent serve)"` runs,
// which carry a relay name that came from the network.
std::string shellWord(const std::string& text);

}  // namespace kestrel::agent
