#include "relay/agent_forwarder.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_set>
#include <utility>

#include "platform/unique_fd.hpp"
#include "protocol/error_category.hpp"
#include "relay/ssh_config.hpp"

namespace kestrel {
namespace {

const char* describe(AgentForwarderError error) noexcept {
    switch (error) {
        case AgentForwarderError::connectFailed: return "cannot connect to the SSH agent socket";
        case AgentForwarderError::noSocketPath: return "SSH agent socket path is too long";
        case AgentForwarderError::writeFailed: return "cannot write the request to the SSH agent";
        case AgentForwarderError::readFailed: return "cannot read the reply of the SSH agent";
        case AgentForwarderError::shortResponse:
            return "SSH agent reply cut short or of an invalid length";
        case AgentForwarderError::timedOut: return "SSH agent did not answer in time";
    }
    return "unknown agent forwarder error";
}

std::system_error makeSystemError(AgentForwarderError error, int errnoValue) {
    if (errnoValue == 0) return std::system_error(error);
    return std::system_error(error, std::generic_category().message(errnoValue));
}

using detail::UniqueFd;

// A real ssh_config is a few kilobytes; a bigger file is not read into memory.
constexpr std::size_t maxConfigFileSize = 16 * 1024 * 1024;

// Far beyond any useful wait, and small enough for every time_t.
constexpr double maxTimeoutSeconds = std::numeric_limits<std::int32_t>::max();

// The path without trailing slashes, so that suffixes beginning with "/" can be appended. The
// root directory thus becomes the empty text.
std::string withoutTrailingSlashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

std::optional<std::string> passwdHomeDirectory() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* result = nullptr;
    int status = 0;
    while ((status = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result)) ==
               ERANGE &&
           buffer.size() < 1024 * 1024) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0 || result == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/') {
        return std::nullopt;
    }
    return withoutTrailingSlashes(entry.pw_dir);
}

// Without trailing slashes (see withoutTrailingSlashes), or none when nothing names one.
std::optional<std::string> homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return withoutTrailingSlashes(home);
    return passwdHomeDirectory();
}

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// The whole file, or none when it cannot be opened or read. Only a regular file of a sane size
// is read: the menu calls this while drawing, and a FIFO or device would block or never end.
std::optional<std::string> readRegularFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count == 0) return text;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 || text.size() + static_cast<std::size_t>(count) > maxConfigFileSize) {
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void removeDuplicatePaths(std::vector<AgentSocketCandidate>& candidates) {
    std::unordered_set<std::string> seen;
    std::erase_if(candidates, [&seen](const AgentSocketCandidate& candidate) {
        return !seen.insert(candidate.path).second;
    });
}

// Callers ask for whole seconds, and a fraction is dropped. A positive timeout under one second
// would thereby become 0, which the socket options read as "wait forever"; it is kept as
// microseconds instead. Zero, negative and NaN timeouts set nothing, which also means forever.
std::optional<timeval> socketTimeout(double seconds) {
    if (!(seconds > 0)) return std::nullopt;
    timeval timeout{};
    if (seconds >= 1) {
        timeout.tv_sec = static_cast<time_t>(std::min(seconds, maxTimeoutSeconds));
    } else {
        timeout.tv_usec = std::max<suseconds_t>(1, static_cast<suseconds_t>(seconds * 1e6));
    }
    return timeout;
}

// Failures are ignored: the exchange then simply waits without a bound.
void setTimeouts(int fd, double seconds) {
    const auto timeout = socketTimeout(seconds);
    if (!timeout) return;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &*timeout, sizeof *timeout);
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &*timeout, sizeof *timeout);
}

std::uint32_t bigEndianUInt32(ByteView bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

}  // namespace

const std::error_category& agentForwarderCategory() noexcept {
    static const detail::EnumErrorCategory<AgentForwarderError> category("kestrel.agent-forwarder",
                                                                         describe);
    return category;
}

std::error_code make_error_code(AgentForwarderError error) noexcept {
    return {static_cast<int>(error), agentForwarderCategory()};
}

AgentForwarderFailure::AgentForwarderFailure(AgentForwarderError error, int errnoValue)
    : std::system_error(makeSystemError(error, errnoValue)), errnoValue_(errnoValue) {}

namespace AgentForwarder {

std::vector<AgentSocketCandidate> socketCandidates(std::optional<std::string> customPath) {
    std::vector<AgentSocketCandidate> candidates;
    if (customPath && !customPath->empty()) {
        candidates.push_back({std::string(customLabel), std::move(*customPath)});
    }
    if (auto configured = identityAgentPath()) {
        candidates.push_back({std::string(sshConfigLabel), std::move(*configured)});
    }
    if (auto environment = environmentVariable("SSH_AUTH_SOCK");
        environment && !environment->empty()) {
        candidates.push_back({std::string(environmentLabel), std::move(*environment)});
    }
    if (const auto home = homeDirectory()) {
        candidates.push_back(
            {std::string(onePasswordLabel), *home + std::string(onePasswordSocketSuffix)});
    }
    removeDuplicatePaths(candidates);
    return candidates;
}

std::optional<std::string> resolveSocketPath(std::optional<std::string> customPath) {
    for (auto& candidate : socketCandidates(std::move(customPath))) {
        if (pathExists(candidate.path)) return std::move(candidate.path);
    }
    return std::nullopt;
}

std::optional<std::string> identityAgentPath() {
    const auto home = homeDirectory();
    if (!home) return std::nullopt;
    const auto text = readRegularFile(*home + "/.ssh/config");
    if (!text) return std::nullopt;
    return identityAgentFromConfig(*text, home->empty() ? "/" : *home,
                                   environmentVariable("SSH_AUTH_SOCK"));
}

Bytes forward(ByteView request, const std::string& socketPath, double timeoutSeconds) {
    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) throw AgentForwarderFailure(AgentForwarderError::connectFailed, errno);
    // Set before connecting, so that an agent too busy to accept (a full listen backlog)
    // makes connect fail with EAGAIN after the timeout instead of holding a worker forever.
    setTimeouts(socket.get(), timeoutSeconds);
    connectUnixSocket(socket.get(), socketPath);
    writeAll(socket.get(), request);
    return readResponse(socket.get());
}

void connectUnixSocket(int fd, const std::string& path) {
    if (path.size() > maxSocketPathLength) {
        throw AgentForwarderFailure(AgentForwarderError::noSocketPath);
    }
    // A leading zero byte (or an empty path) would name a socket in Linux's abstract namespace,
    // which no file-system path means; elsewhere connect reports such a path as missing.
    if (path.empty() || path.front() == '\0') {
        throw AgentForwarderFailure(AgentForwarderError::connectFailed, ENOENT);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw AgentForwarderFailure(AgentForwarderError::connectFailed, errno);
    }
}

void writeAll(int fd, ByteView bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        // MSG_NOSIGNAL: an agent that closes early must cost this request, not the process.
        const ssize_t written =
            ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            throw AgentForwarderFailure(AgentForwarderError::writeFailed);
        }
    }
}

Bytes readExactly(int fd, std::size_t count) {
    Bytes buffer(count);
    std::size_t offset = 0;
    while (offset < count) {
        const ssize_t received = ::read(fd, buffer.data() + offset, count - offset);
        if (received > 0) {
            offset += static_cast<std::size_t>(received);
        } else if (received == 0) {
            throw AgentForwarderFailure(AgentForwarderError::shortResponse);
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            throw AgentForwarderFailure(AgentForwarderError::timedOut);
        } else {
            throw AgentForwarderFailure(AgentForwarderError::readFailed);
        }
    }
    return buffer;
}

Bytes readResponse(int fd) {
    Bytes reply = readExactly(fd, 4);
    const std::uint32_t length = bigEndianUInt32(reply);
    // Unsigned wrap-around makes a length of 0 fail this test too.
    if (length - 1 >= maxResponseLength) {
        throw AgentForwarderFailure(AgentForwarderError::shortResponse);
    }
    append(reply, readExactly(fd, length));
    return reply;
}

}  // namespace AgentForwarder
}  // namespace kestrel
