#pragma once

// The one ssh_config setting the relay reads: IdentityAgent, the agent socket the user told
// OpenSSH to use. A pure function over the file's text, so it can be tested and fuzzed without
// a file system; AgentForwarder::identityAgentPath reads the file and calls it.

#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// The agent path named by the first IdentityAgent line of configText, or none.
//
// The text is split into lines at LF, CR, CR LF, VT, FF, U+0085, U+2028 and U+2029; each line
// is trimmed of tabs and Unicode space separators (general category Zs). Comment lines ("#")
// are skipped. The keyword ends at the first space, tab or "="; it is matched without regard
// to case. Its value is trimmed of spaces, tabs, "=" and '"' only; a trailing comment stays.
// The first IdentityAgent line that has a separator decides the result:
// - an empty value or "none" (any case) gives none;
// - "SSH_AUTH_SOCK", "{SSH_AUTH_SOCK}", or either after one "$" gives sshAuthSock unchanged
//   (none when the variable is unset, an empty path when it is empty);
// - a value beginning with "~/" is joined onto homeDirectory;
// - any other value is returned as it stands (no other "~", "$" or "%" expansion).
// Host and Match sections are not interpreted and Include lines are not followed: an
// IdentityAgent line under any host counts. Text that is not valid UTF-8 gives none.
std::optional<std::string> identityAgentFromConfig(std::string_view configText,
                                                   std::string_view homeDirectory,
                                                   std::optional<std::string> sshAuthSock);

}  // namespace kestrel
