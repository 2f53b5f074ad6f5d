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

bool acceptsConnections(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
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
    agentPid_ = spawnWithLog({"ssh-agent", "-D", "-a", socketPath_}, childEnvironment(),
                             directory() / "ssh-agent.log");
}

void SSHAgentFixture::waitUntilAccepting() {
    const auto deadline = std::chrono::steady_clock::now() + agentStartDeadline;
    while (!acceptsConnections(socketPath_)) {
        int status = 0;
        if (::waitpid(agentPid_, &status, WNOHANG) == agentPid_) {
            agentPid_ = -1;
            throw std::runtime_error("ssh-agent exited at start: " +
                                     readTextFile(directory() / "ssh-agent.log"));
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
        publicKeys_.push_back(withoutLineBreaks(readTextFile(keyPath.string() + ".pub")));
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
