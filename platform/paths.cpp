#include "platform/paths.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/unique_fd.hpp"

namespace kestrel {
namespace {

constexpr const char* appDirectoryName = "/kestrel-relay";
constexpr mode_t privateMode = 0700;

// An environment variable that holds an absolute path; empty or relative ones count as unset.
std::optional<std::string> absolutePathFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::string(value);
}

std::string baseDirectory(const char* variable, const char* defaultUnderHome) {
    if (auto value = absolutePathFromEnvironment(variable)) return *value;
    return homeDirectory() + defaultUnderHome;
}

void makeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), privateMode) == 0) {
        // mkdir's mode passes through the umask; a directory we create is private regardless.
        if (chmod(path.c_str(), privateMode) != 0) {
            detail::throwErrno(errno, "cannot set the mode of directory " + path);
        }
        return;
    }
    if (errno == EEXIST) return;
    detail::throwErrno(errno, "cannot create directory " + path);
}

// Opens the final directory without following a symbolic link, so that the checks below and
// the chmod apply to the very directory that was inspected.
detail::UniqueFd openDirectoryNoFollow(const std::string& path) {
    detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd) return fd;
    const int error = errno;
    // Linux reports a link as ENOTDIR when O_DIRECTORY is given, ELOOP otherwise.
    struct stat status {};
    if (error == ELOOP || (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode))) {
        detail::throwErrno(error, path +
                                      " is a symbolic link; a private directory must be a "
                                      "real directory (remove the link)");
    }
    if (error == ENOTDIR) {
        detail::throwErrno(error, path + " exists and is not a directory");
    }
    detail::throwErrno(error, "cannot open directory " + path);
}

}  // namespace

std::string homeDirectory() {
    if (auto home = absolutePathFromEnvironment("HOME")) return *home;
    if (auto home = passwordDatabaseHome()) return *home;
    throw std::system_error(ENOENT, std::generic_category(),
                            "cannot find the home directory: HOME is not an absolute path and the "
                            "password database has no entry for uid " +
                                std::to_string(getuid()));
}

std::optional<std::string> passwordDatabaseHome() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    // An entry larger than a megabyte is not a real one; the loop stops there.
    while ((error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < 1024 * 1024) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

std::string configHome() { return baseDirectory("XDG_CONFIG_HOME", "/.config"); }
std::string dataHome() { return baseDirectory("XDG_DATA_HOME", "/.local/share"); }
std::string cacheHome() { return baseDirectory("XDG_CACHE_HOME", "/.cache"); }

std::string configDirectory() { return configHome() + appDirectoryName; }
std::string dataDirectory() { return dataHome() + appDirectoryName; }
std::string cacheDirectory() { return cacheHome() + appDirectoryName; }

std::string runtimeDirectory() {
    if (auto runtime = absolutePathFromEnvironment("XDG_RUNTIME_DIR")) {
        return *runtime + appDirectoryName;
    }
    return "/tmp/kestrel-relay-" + std::to_string(getuid());
}

void createMissingDirectories(const std::string& path) {
    if (path.empty()) detail::throwErrno(ENOENT, "cannot create a directory with an empty path");
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (path[slash - 1] != '/') makeDirectory(path.substr(0, slash));
    }
    makeDirectory(path);
}

void ensurePrivateDirectory(const std::string& givenPath) {
    // A trailing slash would make open() follow a symbolic link despite O_NOFOLLOW.
    std::string path = givenPath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    createMissingDirectories(path);
    const detail::UniqueFd directory = openDirectoryNoFollow(path);
    struct stat status {};
    if (fstat(directory.get(), &status) != 0) {
        detail::throwErrno(errno, "cannot inspect directory " + path);
    }
    if (status.st_uid != geteuid()) {
        detail::throwErrno(EPERM, path + " belongs to uid " + std::to_string(status.st_uid) +
                                      ", not to this user (uid " + std::to_string(geteuid()) +
                                      "); remove it or give it to this user");
    }
    if ((status.st_mode & 07777) != privateMode && fchmod(directory.get(), privateMode) != 0) {
        detail::throwErrno(errno, "cannot make directory " + path + " private (mode 0700)");
    }
}

std::string parentDirectory(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace kestrel
