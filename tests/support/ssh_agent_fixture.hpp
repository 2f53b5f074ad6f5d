#pragma once

// A real OpenSSH ssh-agent for tests, holding freshly generated keys, in a private temporary
// directory. Nothing here touches the user's HOME or agent: every child process runs with HOME
// set to that directory and SSH_AUTH_SOCK set to the fixture's socket.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace kestrel::testing {

enum class SSHKeyType {
    ed25519,
    ecdsaP256,
    rsa3072,  // takes about a second to generate: use it only where RSA matters
};

// "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa": the type name of the public key.
std::string sshKeyTypeName(SSHKeyType type);

// Runs `ssh-agent -D -a <directory>/agent.sock`, waits until the socket accepts connections,
// then generates one key of each requested type with ssh-keygen (comment "kestrel-test-<type>"),
// adds them with ssh-add in the order given and deletes the private key files, so the agent is
// the only holder of the private keys. Construction throws std::runtime_error when a step fails.
// The destructor stops the agent (SIGTERM, then waits for it) and removes the directory.
//
// The agent also receives SIGTERM if the thread that created the fixture ends first (so a
// crashed test leaves no agent behind): create it on the thread that will destroy it.
class SSHAgentFixture {
public:
    explicit SSHAgentFixture(std::vector<SSHKeyType> keyTypes = {SSHKeyType::ed25519});
    ~SSHAgentFixture();
    SSHAgentFixture(const SSHAgentFixture&) = delete;
    SSHAgentFixture& operator=(const SSHAgentFixture&) = delete;

    static std::vector<SSHKeyType> allKeyTypes() {
        return {SSHKeyType::ed25519, SSHKeyType::ecdsaP256, SSHKeyType::rsa3072};
    }

    const std::string& socketPath() const noexcept { return socketPath_; }
    const std::filesystem::path& directory() const noexcept { return directory_.path(); }
    // One "type base64 comment" line per key, without line break, in the order the keys were
    // added: the same lines `ssh-add -L` prints.
    const std::vector<std::string>& publicKeys() const noexcept { return publicKeys_; }
    const std::vector<SSHKeyType>& keyTypes() const noexcept { return keyTypes_; }
    pid_t agentProcessId() const noexcept { return agentPid_; }

    // The standard output of `ssh-add -L` run against this agent now.
    std::string sshAddList() const;

    // Runs a program (found on PATH) with this agent's environment, standard input empty, and
    // collects its output. For other OpenSSH tools, e.g. `ssh-keygen -Y sign`.
    ProcessOutput runWithAgent(const std::vector<std::string>& arguments) const;

private:
    void startAgent();
    void waitUntilAccepting();
    void addKeys();
    void stopAgent() noexcept;
    std::vector<std::string> childEnvironment() const;

    TemporaryDirectory directory_;
    std::string socketPath_;
    std::vector<SSHKeyType> keyTypes_;
    std::vector<std::string> publicKeys_;
    pid_t agentPid_ = -1;
};

}  // namespace kestrel::testing
