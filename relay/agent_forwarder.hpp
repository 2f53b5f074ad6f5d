#pragma once

// The relay holds no keys: every agent request a paired client sends is passed to the SSH agent
// of this machine over its Unix-domain socket, and the reply is passed back unchanged. This unit
// finds that socket (discovery) and makes one request/reply exchange with it (forwarding).
//
// Everything here is stateless. Discovery reads the process environment and the file system on
// every call, never fails and may be called from any thread. forward is asynchronous I/O on the
// caller's executor (the relay thread): it never blocks that thread, so a silent agent holds up
// only the request waiting for it.

#include <asio/awaitable.hpp>
#include <asio/cancellation_signal.hpp>

#include <chrono>
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
    timedOut,           // the reply did not arrive within the time limit
    relayLoop,          // the socket is served by kestrel-agent, which passes requests to a relay
};

const std::error_category& agentForwarderCategory() noexcept;
std::error_code make_error_code(AgentForwarderError error) noexcept;

// Thrown for every AgentForwarderError. errnoValue is the errno of the failed call for
// connectFailed (ETIMEDOUT when the time limit ran out while connecting), and 0 for the other
// cases.
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
inline constexpr std::string_view customLabel = "Custom";
inline constexpr std::string_view sshConfigLabel = "ssh_config (IdentityAgent)";
inline constexpr std::string_view environmentLabel = "SSH_AUTH_SOCK";
inline constexpr std::string_view onePasswordLabel = "1Password";
// Appended to the home directory.
inline constexpr std::string_view onePasswordSocketSuffix = "/.1password/agent.sock";
// Where Linux agents put their sockets when nothing sets SSH_AUTH_SOCK (a relay started by a
// systemd unit or a desktop launcher): under $XDG_RUNTIME_DIR, and gpg-agent where gpgconf says.
inline constexpr std::string_view systemdAgentLabel = "ssh-agent (systemd user unit)";
inline constexpr std::string_view systemdAgentSuffix = "/ssh-agent.socket";
inline constexpr std::string_view gnomeKeyringLabel = "GNOME Keyring";
inline constexpr std::string_view gnomeKeyringSuffix = "/keyring/ssh";
inline constexpr std::string_view gcrLabel = "GCR ssh-agent";
inline constexpr std::string_view gcrSuffix = "/gcr/ssh";
inline constexpr std::string_view gpgAgentLabel = "gpg-agent";

// gpg-agent's SSH socket as `gpgconf --list-dirs agent-ssh-socket` prints it, asked once per
// process (requests look for the agent every time, and must not start a program each time);
// none without gpgconf.
std::optional<std::string> gpgAgentSocketPath();

// The places to look, most preferred first, each path once (the first source naming it keeps
// its label): the custom path when given and not empty, the IdentityAgent of ~/.ssh/config,
// $SSH_AUTH_SOCK when set and not empty, the 1Password agent under the home directory, and then
// the Linux agents: systemd's ssh-agent, GNOME Keyring and GCR under $XDG_RUNTIME_DIR (when set),
// and gpg-agent.
// The home directory is $HOME when it is an absolute path, else the user's passwd entry; when
// neither gives one, the two candidates under it are left out.
std::vector<AgentSocketCandidate> socketCandidates(std::optional<std::string> customPath);

// Why a candidate's path is never used, or none when it may be. A path that is not absolute
// would be looked up from the relay's working directory, where another user may have put a
// socket of their own (a relay started in /tmp would hand them the data to be signed); "~" and
// "$VARIABLE" are not expanded, so such a path is relative too.
std::optional<std::string> skipReason(const std::string& path);

// The path of the first candidate that may be used (see skipReason) and exists (any kind of
// file, symbolic links followed), or none. A stale socket is still chosen; forward then fails
// with connectFailed.
std::optional<std::string> resolveSocketPath(std::optional<std::string> customPath);

// The IdentityAgent path of ~/.ssh/config (see identityAgentFromConfig), or none when there is
// no such line, no home directory, or the file is missing, not a regular file, not valid UTF-8
// or unreadable.
std::optional<std::string> identityAgentPath();

// One exchange on a new connection, as asynchronous I/O on the caller's executor: connects,
// writes request unchanged, reads one reply and returns it with its 4-byte length prefix. The
// whole exchange must end within timeLimit; when it runs out the error says where the exchange
// was: connectFailed (ETIMEDOUT) while connecting, writeFailed while writing, timedOut while
// waiting for the reply. A reply body must be 1 to maxResponseLength bytes. Never returns a
// partial reply; every failure throws AgentForwarderFailure; the socket is closed on every path.
// A signal emitted on `cancellation` (or the cancellation of the coroutine that awaits it) ends
// the exchange at once with a failure: std::system_error(operation_aborted) for the former.
asio::awaitable<Bytes> forward(Bytes request, std::string socketPath,
                               std::chrono::steady_clock::duration timeLimit,
                               asio::cancellation_slot cancellation = {});

// Whether an agent accepts connections at path now, found without waiting: none when one does,
// otherwise one line saying why not. A socket served by kestrel-agent counts as not accepting
// (see relayLoop). For settings and status, never for a request: it connects and sends nothing.
std::optional<std::string> listeningProblem(const std::string& path);

// The name (/proc/PID/comm) of the process that listens at path, as the kernel recorded it when
// listen() was called: none when nothing accepts connections there or that process has ended
// since (an agent that forked into the background after binding its socket, as ssh-agent and
// kestrel-agent do). Connects and sends nothing. The answer for a socket file is remembered
// (a listener is recorded once, and another agent at the path means another file), so once a
// socket file has been seen, a listener that has ended since still gives its name.
std::optional<std::string> listeningProgram(const std::string& path);

// The name of kestrel-agent's process, as listeningProgram gives it.
inline constexpr std::string_view relayClientProgram = "kestrel-agent";

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
