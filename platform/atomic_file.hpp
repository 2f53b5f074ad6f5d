#pragma once

// Whole-file reads and crash-safe whole-file writes for the relay's small private files.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "protocol/bytes.hpp"

namespace kestrel {

// Replaces the file at `path` with `bytes` so that, whatever happens (a crash, a kill, a full
// disk), the path holds either the complete old content or the complete new one: a temporary
// file in the same directory is written, synced and renamed over the target, then the directory
// is synced. The result has mode 0600 whatever the umask. The directory must exist. On failure
// the temporary file is removed, the target is untouched, and std::system_error names the path.
// A process killed mid-write can leave a temporary file (".<name>.tmp-<random>") behind; the
// next write removes those older than abandonedTemporaryAge.
void writeFileAtomically(const std::string& path, ByteView bytes);

// Far longer than any write of these small files takes, so that a temporary file this old
// belongs to no writer that is still running.
inline constexpr std::chrono::minutes abandonedTemporaryAge{1};

// Larger files are refused by readFile: the relay's files are small, and a stray huge file
// must not exhaust memory.
inline constexpr std::size_t defaultReadLimit = 16 * 1024 * 1024;

// The whole content of a file; none when it does not exist (ENOENT). Any other failure, and a
// file longer than maxBytes, throws std::system_error naming the path.
std::optional<Bytes> readFile(const std::string& path, std::size_t maxBytes = defaultReadLimit);

}  // namespace kestrel
