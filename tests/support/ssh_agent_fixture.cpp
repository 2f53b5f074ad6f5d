#include "ssh_agent_fixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

// How long the agent may take to listen on its socket; a healthy one needs milliseconds.
constexpr auto agentStartDeadline = 10s;
constexpr auto agentStartPollInterval = 5ms;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

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
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

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

std::string describeRun(const std::vector<std::string>& arguments, const ProcessOutput& output) {
    std::string text;
    for (const auto& argument : arguments) text += argument + " ";
    return text + "exited with " + std::to_string(output.exitStatus) + ": " + output.standardError;
}

ProcessOutput runOrThrow(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
    ProcessOutput output = runProcess(arguments, environment);
    if (output.exitStatus != 0) throw std::runtime_error(describeRun(arguments, output));
    return output;
}

bool acceptsConnections(const std::string& socketPath) {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd || socketPath.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

struct KeyGeneration {
    const char* fileName;
    std::vector<std::string> typeArguments;
    const char* commentSuffix;
};

KeyGeneration keyGeneration(SSHKeyType type) {
    switch (type) {
        case SSHKeyType::ed25519: return {"id_ed25519", {"-t", "ed25519"}, "ed25519"};
        case SSHKeyType::ecdsaP256: return {"id_ecdsa", {"-t", "ecdsa", "-b", "256"}, "ecdsa"};
        case SSHKeyType::rsa3072: return {"id_rsa", {"-t", "rsa", "-b", "3072"}, "rsa"};
    }
    throw std::invalid_argument("unknown key type");
}

std::string withoutLineBreaks(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = "/tmp/kestrel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throwErrno("mkdtemp");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string sshKeyTypeName(SSHKeyType type) {
    switch (type) {
        case SSHKeyType::ed25519: return "ssh-ed25519";
        case SSHKeyType::ecdsaP256: return "ecdsa-sha2-nistp256";
        case SSHKeyType::rsa3072: return "ssh-rsa";
    }
    throw std::invalid_argument("unknown key type");
}

SSHAgentFixture::SSHAgentFixture(std::vector<SSHKeyType> keyTypes)
    : socketPath_((directory_.path() / "agent.sock").string()), keyTypes_(std::move(keyTypes)) {
    try {
        startAgent();
        waitUntilAccepting();
        addKeys();
    } catch (...) {
        stopAgent();
        throw;
    }
}

SSHAgentFixture::~SSHAgentFixture() { stopAgent(); }

std::string SSHAgentFixture::sshAddList() const {
    return runWithAgent({"ssh-add", "-L"}).standardOutput;
}

ProcessOutput SSHAgentFixture::runWithAgent(const std::vector<std::string>& arguments) const {
    return runProcess(arguments, childEnvironment());
}

std::vector<std::string> SSHAgentFixture::childEnvironment() const {
    const char* searchPath = std::getenv("PATH");
    return {
        std::string("PATH=") + (searchPath != nullptr ? searchPath : "/usr/bin:/bin"),
        "HOME=" + directory().string(),
        "SSH_AUTH_SOCK=" + socketPath_,
        "LC_ALL=C",
    };
}

void SSHAgentFixture::startAgent() {
    const UniqueFd input = openOrThrow("/dev/null", O_RDONLY);
    const UniqueFd log =
        openOrThrow(directory() / "ssh-agent.log", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    agentPid_ = spawnProcess({"ssh-agent", "-D", "-a", socketPath_}, childEnvironment(),
                             {input.get(), log.get(), log.get()}, true);
}

void SSHAgentFixture::waitUntilAccepting() {
    const auto deadline = std::chrono::steady_clock::now() + agentStartDeadline;
    while (!acceptsConnections(socketPath_)) {
        int status = 0;
        if (::waitpid(agentPid_, &status, WNOHANG) == agentPid_) {
            agentPid_ = -1;
            throw std::runtime_error("ssh-agent exited at start: " +
                                     readFile(directory() / "ssh-agent.log"));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("ssh-agent did not listen on " + socketPath_);
        }
        std::this_thread::sleep_for(agentStartPollInterval);
    }
}

void SSHAgentFixture::addKeys() {
    if (keyTypes_.empty()) return;
    std::vector<std::string> addArguments{"ssh-add", "-q"};
    std::vector<std::filesystem::path> privateKeys;
    for (const SSHKeyType type : keyTypes_) {
        const KeyGeneration generation = keyGeneration(type);
        const auto keyPath = directory() / generation.fileName;
        std::vector<std::string> arguments{
            "ssh-keygen", "-q",
            "-N",         "",
            "-C",         std::string("kestrel-test-") + generation.commentSuffix,
            "-f",         keyPath.string()};
        arguments.insert(arguments.end(), generation.typeArguments.begin(),
                         generation.typeArguments.end());
        runOrThrow(arguments, childEnvironment());
        addArguments.push_back(keyPath.string());
        privateKeys.push_back(keyPath);
        publicKeys_.push_back(withoutLineBreaks(readFile(keyPath.string() + ".pub")));
    }
    runOrThrow(addArguments, childEnvironment());
    for (const auto& key : privateKeys) std::filesystem::remove(key);
}

void SSHAgentFixture::stopAgent() noexcept {
    if (agentPid_ <= 0) return;
    ::kill(agentPid_, SIGTERM);
    waitForExit(agentPid_);
    agentPid_ = -1;
}

}  // namespace kestrel::testing
