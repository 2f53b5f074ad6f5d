#include "relay/agent_forwarder.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <variant>

#include "platform/paths.hpp"
#include "platform/run_program.hpp"
#include "platform/unique_fd.hpp"
#include "protocol/error_category.hpp"
#include "relay/ssh_config.hpp"
#include "relay/stream_messages.hpp"

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
        case AgentForwarderError::relayLoop:
            return "the socket is served by kestrel-agent, which passes requests on to a relay "
                   "(this one, in a loop) instead of to an SSH agent";
    }
    return "unknown agent forwarder error";
}

std::system_error makeSystemError(AgentForwarderError error, int errnoValue) {
    if (errnoValue == 0) return std::system_error(error);
    return std::system_error(error, std::generic_category().message(errnoValue));
}

using detail::UniqueFd;
using LocalSocket = asio::local::stream_protocol::socket;

// A real ssh_config is a few kilobytes; a bigger file is not read into memory.
constexpr std::size_t maxConfigFileSize = 16 * 1024 * 1024;

// The path without trailing slashes, so that suffixes beginning with "/" can be appended. The
// root directory thus becomes the empty text.
std::string withoutTrailingSlashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

// Without trailing slashes (see withoutTrailingSlashes), or none when nothing names one.
std::optional<std::string> agentHomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return withoutTrailingSlashes(home);
    if (auto fromDatabase = passwordDatabaseHome()) return withoutTrailingSlashes(*fromDatabase);
    return std::nullopt;
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

// The process that listens on the other end of a connected Unix socket, as the kernel recorded
// it when listen() was called, and its name (/proc/PID/comm); none when that process has ended
// since (an agent that forked into the background after binding its socket).
std::optional<std::pair<pid_t, std::string>> peerProgram(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.pid <= 0) {
        return std::nullopt;
    }
    std::optional<std::string> name =
        readRegularFile("/proc/" + std::to_string(peer.pid) + "/comm");
    if (!name) return std::nullopt;
    while (!name->empty() && name->back() == '\n') name->pop_back();
    return std::pair{peer.pid, std::move(*name)};
}

// The identity of the socket file at path (device and inode), or none when there is none.
using SocketFile = std::pair<dev_t, ino_t>;
std::optional<SocketFile> socketFileAt(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return SocketFile{info.st_dev, info.st_ino};
}

// What peerProgram found, by socket file.
using Listener = std::optional<std::pair<pid_t, std::string>>;
std::mutex knownListenersMutex;
std::map<SocketFile, Listener> knownListeners;

// What listenerOf found for the socket file before, if it has been asked.
std::optional<Listener> knownListener(const std::optional<SocketFile>& file) {
    if (!file) return std::nullopt;
    const std::lock_guard lock(knownListenersMutex);
    const auto found = knownListeners.find(*file);
    if (found == knownListeners.end()) return std::nullopt;
    return found->second;
}

// peerProgram of a socket connected to the socket file `file` (taken before connecting), read
// from /proc once per socket file rather than at every request: the kernel records the listener
// once, at listen(), and another agent at the same path means another file. A file replaced
// while connecting is not remembered, since the connection may have reached the old one.
Listener listenerOf(int fd, const std::string& path, const std::optional<SocketFile>& file) {
    if (auto known = knownListener(file)) return std::move(*known);
    Listener program = peerProgram(fd);
    if (file && socketFileAt(path) == file) {
        const std::lock_guard lock(knownListenersMutex);
        // Agents come and go, and only a few are ever current.
        if (knownListeners.size() >= 64) knownListeners.clear();
        knownListeners.emplace(*file, program);
    }
    return program;
}

// The listening process of a connected socket when it is kestrel-agent.
std::optional<pid_t> relayClientPeer(int fd, const std::string& path,
                                     const std::optional<SocketFile>& file) {
    const auto program = listenerOf(fd, path, file);
    if (!program || program->second != AgentForwarder::relayClientProgram) return std::nullopt;
    return program->first;
}

// A connected socket to path that has not waited for anything, or the errno of the failure.
// EAGAIN (a full listen backlog) is returned as a failure too.
std::variant<UniqueFd, int> connectAtOnce(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return errno;
    }
    return fd;
}

// The longest pause between two tries to connect to an agent whose listen backlog is full.
constexpr std::chrono::milliseconds maxConnectPause{100};

// Where an exchange is, so that running out of time can be reported as the step that waited.
enum class Step { connecting, writing, reading };

// An exchange's end without an exception: it races a timer with wait_for_one_success, which
// would keep waiting for the timer after a branch that throws.
struct Outcome {
    Bytes reply;
    std::optional<AgentForwarderFailure> failure;
};

Outcome failed(AgentForwarderError error, int errnoValue = 0) {
    return {{}, AgentForwarderFailure(error, errnoValue)};
}

Outcome readFailure(const std::error_code& error) {
    return failed(error == asio::error::eof ? AgentForwarderError::shortResponse
                                            : AgentForwarderError::readFailed);
}

AgentForwarderFailure outOfTime(Step step) {
    switch (step) {
        case Step::connecting:
            return AgentForwarderFailure(AgentForwarderError::connectFailed, ETIMEDOUT);
        case Step::writing: return AgentForwarderFailure(AgentForwarderError::writeFailed);
        case Step::reading: break;
    }
    return AgentForwarderFailure(AgentForwarderError::timedOut);
}

// A Unix-socket connect that does not block never waits in the kernel: it succeeds, or fails,
// or finds the agent's listen backlog full (EAGAIN). Asio takes that last answer for a
// connection in progress and waits for it, or reports it done, so the system call is made here
// and tried again, a little later each time, until it gets another answer or the caller's time
// limit ends it. Returns the errno of a failure, or 0.
asio::awaitable<int> connectWhenAccepted(LocalSocket& socket, asio::steady_timer& pause,
                                         const std::string& path) {
    std::error_code error;
    socket.non_blocking(true, error);
    if (error) co_return error.value();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    for (auto wait = std::chrono::milliseconds(1);; wait = std::min(wait * 2, maxConnectPause)) {
        if (::connect(socket.native_handle(), reinterpret_cast<const sockaddr*>(&address),
                      sizeof address) == 0) {
            co_return 0;
        }
        if (errno != EAGAIN && errno != EINTR) co_return errno;
        pause.expires_after(wait);
        co_await pause.async_wait(asio::use_awaitable);
    }
}

asio::awaitable<Outcome> exchangeSteps(LocalSocket& socket, asio::steady_timer& pause,
                                       const std::string& path, ByteView request, Step& step) {
    step = Step::connecting;
    const std::optional<SocketFile> file = socketFileAt(path);
    if (const int connectErrno = co_await connectWhenAccepted(socket, pause, path);
        connectErrno != 0) {
        co_return failed(AgentForwarderError::connectFailed, connectErrno);
    }
    std::error_code error;
    if (relayClientPeer(socket.native_handle(), path, file))
        co_return failed(AgentForwarderError::relayLoop);

    step = Step::writing;
    error = co_await writeAtOnce(socket, request);
    if (error) co_return failed(AgentForwarderError::writeFailed);

    step = Step::reading;
    Bytes reply;
    const PrefixedRead read =
        co_await readPrefixed(socket, reply, AgentForwarder::maxResponseLength);
    if (read.lengthOutOfRange) co_return failed(AgentForwarderError::shortResponse);
    if (read.error) co_return readFailure(read.error);
    // Anything after the one reply asked for is no part of it.
    reply.resize(read.size);
    co_return Outcome{std::move(reply), std::nullopt};
}

// exchangeSteps, with anything it throws (a cancelled coroutine's next wait does) as a failure.
// The outcome is returned once at the end: GCC 12 miscompiles a co_return inside a handler.
asio::awaitable<Outcome> exchange(LocalSocket& socket, asio::steady_timer& pause,
                                  const std::string& path, ByteView request, Step& step) {
    Outcome outcome;
    try {
        outcome = co_await exchangeSteps(socket, pause, path, request, step);
    } catch (const std::system_error&) {
        outcome = failed(AgentForwarderError::readFailed);
    }
    co_return outcome;
}

// An exchange's socket and pause, and why it was ended early, if it was. Shared with the
// handlers that end it (its time limit, a cancellation), which may run after it is over: they
// close the socket and cancel the pause, so that whatever the exchange waits for fails at once.
// Cheaper than racing the exchange against them as coroutines, which every request would pay.
struct ExchangeControl {
    enum class Stop { none, timedOut, cancelled };

    explicit ExchangeControl(const asio::any_io_executor& executor)
        : socket(executor), pause(executor) {}

    void stop(Stop why) {
        if (ended || stopped != Stop::none) return;
        stopped = why;
        std::error_code ignored;
        socket.close(ignored);
        pause.cancel();
    }

    LocalSocket socket;
    asio::steady_timer pause;  // between tries to connect to an agent whose backlog is full
    Stop stopped = Stop::none;
    bool ended = false;
};

// The socket path as a connect address, or the failure that stands for it.
std::optional<AgentForwarderFailure> unusableAddress(const std::string& path) {
    if (path.size() > AgentForwarder::maxSocketPathLength) {
        return AgentForwarderFailure(AgentForwarderError::noSocketPath);
    }
    // A leading zero byte (or an empty path) would name a socket in Linux's abstract namespace,
    // which no file-system path means; elsewhere connect reports such a path as missing.
    if (path.empty() || path.front() == '\0') {
        return AgentForwarderFailure(AgentForwarderError::connectFailed, ENOENT);
    }
    return std::nullopt;
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
    if (const auto home = agentHomeDirectory()) {
        candidates.push_back(
            {std::string(onePasswordLabel), *home + std::string(onePasswordSocketSuffix)});
    }
    if (auto runtime = environmentVariable("XDG_RUNTIME_DIR"); runtime && !runtime->empty()) {
        const std::string base = withoutTrailingSlashes(*runtime);
        candidates.push_back(
            {std::string(systemdAgentLabel), base + std::string(systemdAgentSuffix)});
        candidates.push_back(
            {std::string(gnomeKeyringLabel), base + std::string(gnomeKeyringSuffix)});
        candidates.push_back({std::string(gcrLabel), base + std::string(gcrSuffix)});
    }
    if (auto gpg = gpgAgentSocketPath()) candidates.push_back({std::string(gpgAgentLabel), *gpg});
    removeDuplicatePaths(candidates);
    return candidates;
}

namespace {

// The first line `gpgconf --list-dirs agent-ssh-socket` prints, or none when it cannot run. It
// only reads gpg's configuration; it starts no agent.
std::optional<std::string> askGpgconf() {
    const auto output = runProgram({"gpgconf", "--list-dirs", "agent-ssh-socket"});
    if (!output || output->exitStatus != 0) return std::nullopt;
    std::string path = output->standardOutput.substr(0, output->standardOutput.find('\n'));
    if (path.empty() || path.front() != '/') return std::nullopt;
    return path;
}

}  // namespace

std::optional<std::string> gpgAgentSocketPath() {
    static std::once_flag asked;
    static std::optional<std::string> path;
    std::call_once(asked, [] { path = askGpgconf(); });
    return path;
}

std::optional<std::string> skipReason(const std::string& path) {
    if (!path.empty() && path.front() == '/') return std::nullopt;
    if (path.empty()) return "the path is empty";
    if (path.front() == '~' || path.find('$') != std::string::npos) {
        return "not an absolute path (~ and $VARIABLES are not expanded here)";
    }
    return "not an absolute path (it would be looked up from the relay's working directory)";
}

std::optional<std::string> resolveSocketPath(std::optional<std::string> customPath) {
    for (auto& candidate : socketCandidates(std::move(customPath))) {
        if (!skipReason(candidate.path) && pathExists(candidate.path)) {
            return std::move(candidate.path);
        }
    }
    return std::nullopt;
}

std::optional<std::string> identityAgentPath() {
    const auto home = agentHomeDirectory();
    if (!home) return std::nullopt;
    const auto text = readRegularFile(*home + "/.ssh/config");
    if (!text) return std::nullopt;
    return identityAgentFromConfig(*text, home->empty() ? "/" : *home,
                                   environmentVariable("SSH_AUTH_SOCK"));
}

asio::awaitable<Bytes> forward(Bytes request, std::string socketPath,
                               std::chrono::steady_clock::duration timeLimit,
                               asio::cancellation_slot cancellation) {
    if (auto failure = unusableAddress(socketPath)) throw *failure;
    const auto executor = co_await asio::this_coro::executor;
    const auto control = std::make_shared<ExchangeControl>(executor);
    std::error_code error;
    control->socket.open(asio::local::stream_protocol(), error);
    if (error) throw AgentForwarderFailure(AgentForwarderError::connectFailed, error.value());

    using Stop = ExchangeControl::Stop;
    asio::steady_timer deadline(executor, timeLimit);
    deadline.async_wait([control](const std::error_code& waitError) {
        if (!waitError) control->stop(Stop::timedOut);
    });
    if (cancellation.is_connected()) {
        cancellation.assign([control](asio::cancellation_type) { control->stop(Stop::cancelled); });
    }
    Step step = Step::connecting;
    Outcome outcome = co_await exchange(control->socket, control->pause, socketPath, request, step);
    control->ended = true;
    deadline.cancel();
    if (cancellation.is_connected()) cancellation.clear();
    // A reply that was complete before the exchange was stopped is still the agent's answer.
    if (!outcome.failure) co_return std::move(outcome.reply);
    if (control->stopped == Stop::timedOut) throw outOfTime(step);
    if (control->stopped == Stop::cancelled)
        throw std::system_error(asio::error::operation_aborted, "agent exchange cancelled");
    throw *outcome.failure;
}

std::optional<std::string> listeningProblem(const std::string& path) {
    if (auto reason = skipReason(path)) return reason;
    if (auto failure = unusableAddress(path)) return failure->what();
    const std::optional<SocketFile> file = socketFileAt(path);
    auto connection = connectAtOnce(path);
    if (const int* error = std::get_if<int>(&connection)) {
        // A full backlog: an agent listens there, it is only busy.
        if (*error == EAGAIN) return std::nullopt;
        return std::string("nothing accepts connections there (") + std::strerror(*error) + ")";
    }
    if (const auto pid = relayClientPeer(std::get<UniqueFd>(connection).get(), path, file)) {
        return "it is served by kestrel-agent (pid " + std::to_string(*pid) +
               "), which passes requests on to a relay, not to an SSH agent";
    }
    return std::nullopt;
}

std::optional<std::string> listeningProgram(const std::string& path) {
    if (skipReason(path) || unusableAddress(path)) return std::nullopt;
    const std::optional<SocketFile> file = socketFileAt(path);
    // Answered without connecting when the socket file is known; a listener that has gone since
    // leaves nothing there to loop through.
    auto program = knownListener(file);
    if (!program) {
        auto connection = connectAtOnce(path);
        if (std::holds_alternative<int>(connection)) return std::nullopt;
        program = listenerOf(std::get<UniqueFd>(connection).get(), path, file);
    }
    if (!*program) return std::nullopt;
    return std::move((*program)->second);
}

}  // namespace AgentForwarder
}  // namespace kestrel
