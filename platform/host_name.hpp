#pragma once

#include <string>

namespace kestrel {

// The computer's name as the user knows it, for the relay's advertised name and pairing
// grants: the pretty host name (PRETTY_HOSTNAME in /etc/machine-info, as set by hostnamectl)
// when it is set and not blank, else the host name, else "Linux". Never throws for a missing or
// unreadable file.
std::string localizedHostName();
// The same with another machine-info file, for tests.
std::string localizedHostName(const std::string& machineInfoPath);

}  // namespace kestrel
