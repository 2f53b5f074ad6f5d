#pragma once

#include <string_view>

namespace kestrel::RelayDebugLog {

// Appends "HH:mm:ss.SSS entry\n" (local time) to fileName in the user's cache directory
// ($XDG_CACHE_HOME, else ~/.cache; created, mode 0700, if missing). fileName must be a single
// path component; anything else ("", ".", "..", a name with '/') writes nothing. Never fails:
// every error is swallowed and the entry may be lost. Safe to call from any thread: appends
// within the process are serialised by one lock. The file is created mode 0600, has no rotation
// and no size limit.
void append(std::string_view entry, std::string_view fileName) noexcept;

}  // namespace kestrel::RelayDebugLog
