#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/unique_fd.hpp"

extern char** environ;

namespace kestrel::testing {
namespace {

using detail::UniqueFd;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

UniqueFd openOrThrow(const std::filesystem::path& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0600));
    if (!fd) throwErrno("open " + path.string());
    return fd;
}

std::pair<UniqueFd, UniqueFd> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throwErrno("pipe2");
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The program as execve needs it: a name with a slash as it stands, else searched on PATH.
std::string findExecutable(const std::string& name, const std::string& searchPath) {
    if (name.find('/') != std::string::npos) return name;
    std::istringstream directories(searchPath);
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw std::runtime_error(name + " not found on PATH " + searchPath);
}

std::vector<char*> nullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

struct ChildStdio {
    int input;
    int output;
    int error;
};

// fork and execve rather than posix_spawn, because the child must ask for PR_SET_PDEATHSIG in
// between. Arguments go to execve as they are: no shell ever parses them. Between fork and
// execve the child makes only async-signal-safe calls (the parent may have other threads).
pid_t spawnProcess(std::vector<std::string> arguments, std::vector<std::string> environment,
                   ChildStdio stdio, bool stopWithParent) {
    const char* searchPath = std::getenv("PATH");
    const std::string program =
        findExecutable(arguments.at(0), searchPath != nullptr ? searchPath : "/usr/bin:/bin");
    const auto argv = nullTerminated(arguments);
    const auto envp = nullTerminated(environment);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) throwErrno("fork");
    if (child > 0) return child;

    if (stopWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
    }
    // A test thread may block or ignore signals; the agent must still stop on SIGTERM.
    sigset_t noSignals;
    ::sigemptyset(&noSignals);
    ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigaction(SIGTERM, &defaultAction, nullptr);
    ::sigaction(SIGPIPE, &defaultAction, nullptr);
    if (::dup2(stdio.input, 0) < 0 || ::dup2(stdio.output, 1) < 0 || ::dup2(stdio.error, 2) < 0) {
        ::_exit(127);
    }
    // Only the standard streams are inherited: a test's socket left open in a child would keep
    // the peer from ever seeing it closed.
    ::close_range(3, ~0U, 0);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

}  // namespace

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

namespace {

// Reads both pipes together, so a child filling one of them can never stall on the other.
void collectOutput(UniqueFd output, UniqueFd error, ProcessOutput& result) {
    pollfd fds[2] = {{output.get(), POLLIN, 0}, {error.get(), POLLIN, 0}};
    std::string* texts[2] = {&result.standardOutput, &result.standardError};
    int remaining = 2;
    while (remaining > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throwErrno("poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --remaining;
            }
        }
    }
}

}  // namespace

ProcessOutput runProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
    const UniqueFd input = openOrThrow("/dev/null", O_RDONLY);
    auto [outputRead, outputWrite] = makePipe();
    auto [errorRead, errorWrite] = makePipe();
    const pid_t pid = spawnProcess(arguments, environment,
                                   {input.get(), outputWrite.get(), errorWrite.get()}, true);
    outputWrite.reset();
    errorWrite.reset();
    ProcessOutput result;
    collectOutput(std::move(outputRead), std::move(errorRead), result);
    result.exitStatus = waitForExit(pid);
    return result;
}

namespace {

std::string describeRun(const std::vector<std::string>& arguments, const ProcessOutput& output) {
    std::string text;
    for (const auto& argument : arguments) text += argument + " ";
    return text + "exited with " + std::to_string(output.exitStatus) + ": " + output.standardError;
}

}  // namespace

ProcessOutput runOrThrow(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
    ProcessOutput output = runProcess(arguments, environment);
    if (output.exitStatus != 0) throw std::runtime_error(describeRun(arguments, output));
    return output;
}

pid_t spawnWithLog(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment,
                   const std::filesystem::path& logFile) {
    const UniqueFd input = openOrThrow("/dev/null", O_RDONLY);
    const UniqueFd log = openOrThrow(logFile, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    return spawnProcess(arguments, environment, {input.get(), log.get(), log.get()}, true);
}

std::string readTextFile(const std::filesystem::path& path) { return readFile(path); }

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = "/tmp/kestrel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throwErrno("mkdtemp");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    const UniqueFd input = openOrThrow("/dev/null", O_RDONLY);
    const UniqueFd error =
        openOrThrow(errorDirectory_.path() / "stderr", O_WRONLY | O_CREAT | O_TRUNC);
    auto [outputRead, outputWrite] = makePipe();
    pid_ =
        spawnProcess(arguments, environment, {input.get(), outputWrite.get(), error.get()}, true);
    output_ = ::dup(outputRead.get());
}

ChildProcess::~ChildProcess() {
    if (!exitStatus_) {
        ::kill(pid_, SIGKILL);
        waitForExit(pid_);
    }
    if (output_ >= 0) ::close(output_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto newline = buffered_.find('\n'); newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd ready{output_, POLLIN, 0};
        const int count = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t received = ::read(output_, chunk, sizeof chunk);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(received));
    }
}

std::string ChildProcess::standardError() const {
    return readFile(errorDirectory_.path() / "stderr");
}

void ChildProcess::signal(int number) const { ::kill(pid_, number); }

int ChildProcess::wait() {
    if (!exitStatus_) exitStatus_ = waitForExit(pid_);
    return *exitStatus_;
}

std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    // A program under test never reaches the user's own desktop session: no key of a test goes
    // to their keyring, no test notice to their screen. Tests that want a session bus start one.
    variables["DBUS_SESSION_BUS_ADDRESS"] = "";
    variables["DISPLAY"] = "";
    for (const auto& [name, value] : overrides) variables[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
    return result;
}

std::vector<std::string> withVariable(std::vector<std::string> environment, const std::string& name,
                                      const std::string& value) {
    std::erase_if(environment,
                  [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
    environment.push_back(name + "=" + value);
    return environment;
}

namespace {

long processorTicksOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields 14 and 15, counted after the parenthesised command name (which may hold spaces).
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int index = 3; index < 14; ++index) fields >> field;
    long user = 0, system = 0;
    if (!(fields >> user >> system)) throw std::runtime_error("cannot read /proc/PID/stat");
    return user + system;
}

}  // namespace

long processorTicksDuring(pid_t pid, std::chrono::milliseconds window) {
    const long before = processorTicksOf(pid);
    std::this_thread::sleep_for(window);
    return processorTicksOf(pid) - before;
}

}  // namespace kestrel::testing
