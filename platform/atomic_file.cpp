#include "platform/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "platform/paths.hpp"
#include "platform/unique_fd.hpp"
#include "protocol/crypto.hpp"

namespace kestrel {
namespace {

constexpr mode_t privateFileMode = 0600;
constexpr int temporaryNameAttempts = 16;

std::string randomSuffix() {
    std::array<std::uint8_t, 8> random{};
    fillRandom(random);
    static constexpr char digits[] = "0123456789abcdef";
    std::string suffix;
    for (std::uint8_t byte : random) {
        suffix += digits[byte >> 4];
        suffix += digits[byte & 0x0f];
    }
    return suffix;
}

// A hidden sibling of the target, so that the rename stays within one file system.
std::string temporaryPrefixFor(const std::string& path) {
    const std::size_t nameStart = path.find_last_of('/') + 1;  // npos + 1 == 0
    return path.substr(0, nameStart) + "." + path.substr(nameStart) + ".tmp-";
}

std::string temporaryPathFor(const std::string& path) {
    return temporaryPrefixFor(path) + randomSuffix();
}

struct TemporaryFile {
    std::string path;
    detail::UniqueFd fd;
};

TemporaryFile createTemporaryFile(const std::string& target) {
    for (int attempt = 0; attempt < temporaryNameAttempts; ++attempt) {
        std::string path = temporaryPathFor(target);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateFileMode);
        if (fd >= 0) return {std::move(path), detail::UniqueFd(fd)};
        if (errno != EEXIST) detail::throwErrno(errno, "cannot write " + target);
    }
    detail::throwErrno(EEXIST, "cannot write " + target + ": no free temporary file name");
}

void writeAll(int fd, ByteView bytes, const std::string& target) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            detail::throwErrno(errno, "cannot write " + target);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

// Makes the rename itself durable. Some file systems cannot sync a directory (EINVAL); the
// rename is then as durable as they allow.
void syncDirectoryOf(const std::string& target) {
    const std::string directory = parentDirectory(target);
    const detail::UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) detail::throwErrno(errno, "cannot sync the directory of " + target);
    if (fsync(fd.get()) != 0 && errno != EINVAL) {
        detail::throwErrno(errno, "cannot sync the directory of " + target);
    }
}

void fillAndPublish(TemporaryFile& temporary, ByteView bytes, const std::string& target) {
    // The umask may have narrowed or (umask 0) not narrowed the creation mode; set it exactly.
    if (fchmod(temporary.fd.get(), privateFileMode) != 0) {
        detail::throwErrno(errno, "cannot set the mode of " + target);
    }
    writeAll(temporary.fd.get(), bytes, target);
    if (fsync(temporary.fd.get()) != 0) detail::throwErrno(errno, "cannot sync " + target);
    if (temporary.fd.close() != 0) detail::throwErrno(errno, "cannot write " + target);
    if (rename(temporary.path.c_str(), target.c_str()) != 0) {
        detail::throwErrno(errno, "cannot replace " + target);
    }
}

// A writer killed mid-write leaves its temporary file behind, and for the key store that file
// holds keys, possibly of a device revoked since. Any that is older than a write could take is
// such a leftover: no live writer still owns it. Best effort; a failure leaves it for next time.
void removeAbandonedTemporaries(const std::string& target) {
    namespace fs = std::filesystem;
    const std::string prefix = fs::path(temporaryPrefixFor(target)).filename().string();
    const auto abandonedBefore = fs::file_time_type::clock::now() - abandonedTemporaryAge;
    std::error_code error;
    for (fs::directory_iterator entry(fs::path(parentDirectory(target)), error), end;
         !error && entry != end; entry.increment(error)) {
        if (entry->path().filename().string().rfind(prefix, 0) != 0) continue;
        std::error_code ignored;
        const fs::file_time_type modified = fs::last_write_time(entry->path(), ignored);
        if (!ignored && modified < abandonedBefore) fs::remove(entry->path(), ignored);
    }
}

}  // namespace

void writeFileAtomically(const std::string& path, ByteView bytes) {
    TemporaryFile temporary = createTemporaryFile(path);
    try {
        fillAndPublish(temporary, bytes, path);
    } catch (...) {
        unlink(temporary.path.c_str());
        throw;
    }
    syncDirectoryOf(path);
    removeAbandonedTemporaries(path);
}

std::optional<Bytes> readFile(const std::string& path, std::size_t maxBytes) {
    const detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        detail::throwErrno(errno, "cannot read " + path);
    }
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) detail::throwErrno(errno, "cannot read " + path);
    const auto tooLarge = [&] {
        detail::throwErrno(
            EFBIG, "cannot read " + path + ": larger than " + std::to_string(maxBytes) + " bytes");
    };
    if (status.st_size < 0 || static_cast<std::uintmax_t>(status.st_size) > maxBytes) tooLarge();

    // Sized from fstat so that content (possibly key material) is not copied by regrowth;
    // the spare byte notices a file that grew, and files that report no size still work.
    Bytes content(std::max<std::size_t>(static_cast<std::size_t>(status.st_size) + 1, 512));
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) content.resize(content.size() * 2);
        const ssize_t count = read(fd.get(), content.data() + used, content.size() - used);
        if (count < 0) {
            if (errno == EINTR) continue;
            detail::throwErrno(errno, "cannot read " + path);
        }
        if (count == 0) break;
        used += static_cast<std::size_t>(count);
        if (used > maxBytes) tooLarge();
    }
    content.resize(used);
    return content;
}

}  // namespace kestrel
