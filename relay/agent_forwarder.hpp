#pragma once

// The relay holds no keys: every agent request a paired client sends is passed to the SSH agent
// of this machine over its Unix-domain socket, and the reply is passed back unchanged. This unit
// finds that socket (discovery) and makes one request/reply exchange with it (forwarding).
//
// Everything here is stateless and may be called from any thread. Discovery reads the process
// environment and the file system on every call and never fails. forward blocks its thread in
// connect, write and read, so the relay runs it on a worker thread, never on the relay thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "protocol/bytes.hpp"

namespace kestrel {

// A place where an agent socket may be, and the source that named it.
struct AgentSocketCandidate {
    std::string label;  // one of the AgentForwarder::*Label texts
    std::string path;   // exactly as entered or found; never expanded

    const std::string& id() const noexcept { return path; }

    friend bool operator==(const AgentSocketCandidate&, const AgentSocketCandidate&) = default;
};

enum class AgentForwarderError {
    connectFailed = 1,  // socket() or connect() failed; AgentForwarderFailure::errnoValue says why
    noSocketPath,       // the path is longer than AgentForwarder::maxSocketPathLength bytes
    writeFailed,        // a write failed or wrote nothing (a send timeout shows as this too)
    readFailed,         // a read failed with an errno other than EINTR and EAGAIN
    shortResponse,      // the stream ended early, or the reply announced 0 or too many bytes
    timedOut,           // no reply bytes arrived within the timeout
};

const std::error_category& agentForwarderCategory() noexcept;
std::error_code make_error_code(AgentForwarderError error) noexcept;

// Thrown for every AgentForwarderError. errnoValue is the errno of the failed call for
// connectFailed, and 0 for the other cases.
class AgentForwarderFailure : public std::system_error {
public:
    explicit AgentForwarderFailure(AgentForwarderError error, int errnoValue = 0);

    AgentForwarderError error() const noexcept {
        return static_cast<AgentForwarderError>(code().value());
    }
    int errnoValue() const noexcept { return errnoValue_; }

private:
    int errnoValue_;
};

namespace AgentForwarder {

// The longest reply body accepted: one less than 256 KiB, the most an OpenSSH agent sends.
inline constexpr std::uint32_t maxResponseLength = 262143;
// The path field of a BSD sockaddr_un is 104 bytes with its terminating zero. Linux has 108,
// but the relay keeps the portable limit so a path that works here works on every platform.
inline constexpr std::size_t maxSocketPathLength = 103;
// What the agent request loop passes to forward.
inline constexpr double relayTimeoutSeconds = 60;

inline constexpr std::string_view customLabel = "Custom";
inline constexpr std::string_view sshConfigLabel = "ssh_config (IdentityAgent)";
inline constexpr std::string_view environmentLabel = "SSH_AUTH_SOCK";
inline constexpr std::string_view onePasswordLabel = "1Password";
// Appended to the home directory.
inline constexpr std::string_view onePasswordSocketSuffix = "/.1password/agent.sock";

// The places to look, most preferred first, each path once (the first source naming it keeps
// its label): the custom path when given and not empty, the IdentityAgent of ~/.ssh/config,
// $SSH_AUTH_SOCK when set and not empty, and the 1Password agent under the home directory.
// The home directory is $HOME when it is an absolute path, else the user's passwd entry; when
// neither gives one, the two candidates under it are left out.
std::vector<AgentSocketCandidate> socketCandidates(std::optional<std::string> customPath);

// The path of the first candidate that exists (any kind of file, symbolic links followed), or
// none. A stale socket is still chosen; forward then fails with connectFailed.
std::optional<std::string> resolveSocketPath(std::optional<std::string> customPath);

// The IdentityAgent path of ~/.ssh/config (see identityAgentFromConfig), or none when there is
// no such line, no home directory, or the file is missing, not a regular file, not valid UTF-8
// or unreadable.
std::optional<std::string> identityAgentPath();

// One exchange on a new connection: writes request unchanged, reads one reply and returns it
// with its 4-byte length prefix. The timeout applies to each connect, write and read call, in
// whole seconds (a positive timeout under one second is used as it stands). Never returns a
// partial reply; every failure throws AgentForwarderFailure. The socket is closed on every path.
Bytes forward(ByteView request, const std::string& socketPath, double timeoutSeconds);

// The steps of forward, each throwing AgentForwarderFailure. They take a socket descriptor that
// the caller owns and never close it.
void connectUnixSocket(int fd, const std::string& path);
void writeAll(int fd, ByteView bytes);
// Exactly count bytes; empty for a count of 0.
Bytes readExactly(int fd, std::size_t count);
// One length-prefixed reply, prefix included, with a body of 1 to maxResponseLength bytes.
Bytes readResponse(int fd);

}  // namespace AgentForwarder
}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::AgentForwarderError> : std::true_type {};

template <>
struct std::hash<kestrel::AgentSocketCandidate> {
    std::size_t operator()(const kestrel::AgentSocketCandidate& candidate) const noexcept {
        const std::size_t labelHash = std::hash<std::string>{}(candidate.label);
        return labelHash ^ (std::hash<std::string>{}(candidate.path) + 0x9e3779b97f4a7c15ULL +
                            (labelHash << 6) + (labelHash >> 2));
    }
};
