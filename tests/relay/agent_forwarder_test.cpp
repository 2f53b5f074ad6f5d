#include "relay/agent_forwarder.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_agent.hpp"
#include "platform/unique_fd.hpp"
#include "protocol/base64.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "protocol/ssh_wire.hpp"
#include "support/run_to_end.hpp"
#include "support/scoped_environment.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironmentVariable;
using testing::ScopedWorkingDirectory;
using testing::ScriptedAgentFake;
using testing::SSHAgentFixture;
using testing::SSHKeyType;
using testing::TemporaryDirectory;

AgentSocketCandidate candidate(std::string_view label, std::string path) {
    return {std::string(label), std::move(path)};
}

// The candidates followed by gpg-agent's socket, which comes last wherever gpgconf is installed.
std::vector<AgentSocketCandidate> thenGpg(std::vector<AgentSocketCandidate> candidates) {
    if (auto gpg = AgentForwarder::gpgAgentSocketPath())
        candidates.push_back(candidate("gpg-agent", *gpg));
    return candidates;
}

// ---------------------------------------------------------------------------------------------
// Discovery

// HOME points at a fresh directory and SSH_AUTH_SOCK is unset, so no test sees the real ones.
class AgentDiscoveryTest : public ::testing::Test {
protected:
    std::string homePath(std::string_view relative = {}) const {
        return relative.empty() ? home_.path().string() : (home_.path() / relative).string();
    }
    std::string onePasswordPath() const { return homePath() + "/.1password/agent.sock"; }

    void writeConfig(std::string_view text) const { writeFile(homePath(".ssh/config"), text); }

    static void writeFile(const std::string& path, std::string_view text = {}) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    TemporaryDirectory home_;
    ScopedEnvironmentVariable homeVariable_{"HOME", home_.path().string()};
    ScopedEnvironmentVariable agentVariable_{"SSH_AUTH_SOCK", std::nullopt};
    ScopedEnvironmentVariable runtimeVariable_{"XDG_RUNTIME_DIR", std::nullopt};
};

TEST_F(AgentDiscoveryTest, ListsEverySourceInOrderOfPreference) {
    EXPECT_EQ(AgentForwarder::socketCandidates(std::nullopt),
              thenGpg({candidate("1Password", onePasswordPath())}));

    writeConfig("Host *\n  IdentityAgent ~/config.sock\n");
    agentVariable_.set("/run/env.sock");
    EXPECT_EQ(AgentForwarder::socketCandidates("~/custom $HOME.sock"),
              thenGpg({candidate("Custom", "~/custom $HOME.sock"),
                       candidate("ssh_config (IdentityAgent)", homePath("config.sock")),
                       candidate("SSH_AUTH_SOCK", "/run/env.sock"),
                       candidate("1Password", onePasswordPath())}));
}

TEST_F(AgentDiscoveryTest, ListsEachPathOnceUnderItsFirstSource) {
    const std::string shared = homePath("agent.sock");
    writeConfig("IdentityAgent " + shared);
    agentVariable_.set(shared);
    EXPECT_EQ(AgentForwarder::socketCandidates(shared),
              thenGpg({candidate("Custom", shared), candidate("1Password", onePasswordPath())}));
    EXPECT_EQ(AgentForwarder::socketCandidates(std::nullopt),
              thenGpg({candidate("ssh_config (IdentityAgent)", shared),
                       candidate("1Password", onePasswordPath())}));

    writeConfig("");
    agentVariable_.set(onePasswordPath());
    EXPECT_EQ(AgentForwarder::socketCandidates(std::nullopt),
              thenGpg({candidate("SSH_AUTH_SOCK", onePasswordPath())}));
}

TEST_F(AgentDiscoveryTest, EmptyCustomPathOrVariableAddsNoCandidate) {
    agentVariable_.set("");
    const auto expected = thenGpg({candidate("1Password", onePasswordPath())});
    EXPECT_EQ(AgentForwarder::socketCandidates(""), expected);
    EXPECT_EQ(AgentForwarder::socketCandidates(std::nullopt), expected);
}

TEST_F(AgentDiscoveryTest, ConfigNamingAnEmptyVariableGivesAPathThatNeverResolves) {
    writeConfig("IdentityAgent $SSH_AUTH_SOCK\n");
    agentVariable_.set("");
    EXPECT_EQ(AgentForwarder::socketCandidates(std::nullopt),
              thenGpg({candidate("ssh_config (IdentityAgent)", ""),
                       candidate("1Password", onePasswordPath())}));
    EXPECT_EQ(AgentForwarder::resolveSocketPath(std::nullopt), std::nullopt);
}

// A relay started by systemd or a desktop launcher has no SSH_AUTH_SOCK: it finds the agents that
// Linux desktops start, in the order given, after the sources a user names.
TEST_F(AgentDiscoveryTest, FindsTheLinuxAgentsUnderTheRuntimeDirectory) {
    const std::string runtime = homePath("run");
    runtimeVariable_.set(runtime + "/");
    EXPECT_EQ(AgentForwarder::socketCandidates(std::nullopt),
              thenGpg({candidate("1Password", onePasswordPath()),
                       candidate("ssh-agent (systemd user unit)", runtime + "/ssh-agent.socket"),
                       candidate("GNOME Keyring", runtime + "/keyring/ssh"),
                       candidate("GCR ssh-agent", runtime + "/gcr/ssh")}));

    // A real agent behind each place a desktop puts one.
    const SSHAgentFixture agent;
    fs::create_directories(runtime + "/gcr");
    fs::create_symlink(agent.socketPath(), runtime + "/gcr/ssh");
    EXPECT_EQ(AgentForwarder::resolveSocketPath(std::nullopt), runtime + "/gcr/ssh");
    EXPECT_EQ(AgentForwarder::listeningProblem(runtime + "/gcr/ssh"), std::nullopt);
    fs::create_symlink(agent.socketPath(), runtime + "/ssh-agent.socket");
    EXPECT_EQ(AgentForwarder::resolveSocketPath(std::nullopt), runtime + "/ssh-agent.socket");
}

TEST_F(AgentDiscoveryTest, ResolvesTheFirstCandidateThatExists) {
    const std::string missingCustom = homePath("missing.sock");
    const std::string configured = homePath("config.sock");
    const std::string environment = homePath("env.sock");
    writeConfig("IdentityAgent " + configured);
    agentVariable_.set(environment);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(missingCustom), std::nullopt);

    writeFile(onePasswordPath());
    EXPECT_EQ(AgentForwarder::resolveSocketPath(missingCustom), onePasswordPath());
    writeFile(environment);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(missingCustom), environment);
    writeFile(configured);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(missingCustom), configured);
    writeFile(missingCustom);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(missingCustom), missingCustom);
}

// Existence is all that counts: a plain file or a stale path is chosen (and forward then
// reports the failure); a symbolic link counts when its target exists.
TEST_F(AgentDiscoveryTest, AnyExistingFileResolvesAndLinksAreFollowed) {
    const std::string plainFile = homePath("plain");
    writeFile(plainFile);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(plainFile), plainFile);

    const std::string link = homePath("link");
    fs::create_symlink(plainFile, link);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(link), link);

    const std::string danglingLink = homePath("dangling");
    fs::create_symlink(homePath("nothing"), danglingLink);
    EXPECT_EQ(AgentForwarder::resolveSocketPath(danglingLink), std::nullopt);
}

// A path that is not absolute names a place in the working directory, which in /tmp is anyone's:
// such candidates stay listed as they are, in their place, but are passed over.
TEST_F(AgentDiscoveryTest, CandidatesThatAreNotAbsolutePathsAreListedButNeverResolved) {
    const TemporaryDirectory shared;
    fs::permissions(shared.path(), fs::perms::all | fs::perms::sticky_bit);
    const ScopedWorkingDirectory workingDirectory(shared.path());
    writeConfig("IdentityAgent ${XDG_RUNTIME_DIR}/ssh-agent.socket\n");
    agentVariable_.set("env.sock");
    for (const char* planted : {"custom.sock", "${XDG_RUNTIME_DIR}/ssh-agent.socket", "env.sock"})
        writeFile((shared.path() / planted).string());

    EXPECT_EQ(
        AgentForwarder::socketCandidates("custom.sock"),
        thenGpg({candidate("Custom", "custom.sock"),
                 candidate("ssh_config (IdentityAgent)", "${XDG_RUNTIME_DIR}/ssh-agent.socket"),
                 candidate("SSH_AUTH_SOCK", "env.sock"),
                 candidate("1Password", onePasswordPath())}));
    EXPECT_EQ(AgentForwarder::resolveSocketPath("custom.sock"), std::nullopt);
    writeFile(onePasswordPath());
    EXPECT_EQ(AgentForwarder::resolveSocketPath("custom.sock"), onePasswordPath());
}

TEST(AgentSkipReasonTest, OnlyAbsolutePathsAreUsable) {
    for (const char* usable : {"/run/user/1000/ssh-agent.socket", "/", "/tmp/../x"})
        EXPECT_EQ(AgentForwarder::skipReason(usable), std::nullopt) << usable;
    for (const char* relative : {"agent.sock", "./agent.sock", "../agent.sock", " /agent.sock"})
        EXPECT_NE(AgentForwarder::skipReason(relative).value_or("").find("working directory"),
                  std::string::npos)
            << relative;
    for (const char* unexpanded : {"~/agent.sock", "~user/agent.sock", "$SSH_AUTH_SOCK",
                                   "${XDG_RUNTIME_DIR}/ssh-agent.socket"})
        EXPECT_NE(AgentForwarder::skipReason(unexpanded).value_or("").find("not expanded"),
                  std::string::npos)
            << unexpanded;
    EXPECT_TRUE(AgentForwarder::skipReason(""));
}

TEST_F(AgentDiscoveryTest, ReadsIdentityAgentFromTheUsersConfig) {
    EXPECT_EQ(AgentForwarder::identityAgentPath(), std::nullopt);
    writeConfig("Host *\n\tIdentityAgent \"~/My Agent/agent.sock\"\n");
    EXPECT_EQ(AgentForwarder::identityAgentPath(), homePath("My Agent/agent.sock"));

    agentVariable_.set("/run/env.sock");
    writeConfig("IdentityAgent SSH_AUTH_SOCK\n");
    EXPECT_EQ(AgentForwarder::identityAgentPath(), "/run/env.sock");
}

// Each would otherwise name "/wrong"; none of them may, and none may block the caller.
TEST_F(AgentDiscoveryTest, ConfigThatCannotBeReadAsTextNamesNoAgent) {
    const std::string config = homePath(".ssh/config");
    writeConfig("IdentityAgent /wrong\n# \xff\n");
    EXPECT_EQ(AgentForwarder::identityAgentPath(), std::nullopt) << "not UTF-8";

    fs::remove(config);
    fs::create_directory(config);
    EXPECT_EQ(AgentForwarder::identityAgentPath(), std::nullopt) << "a directory";

    fs::remove(config);
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    EXPECT_EQ(AgentForwarder::identityAgentPath(), std::nullopt) << "a FIFO without writer";
}

std::string passwdHome() {
    std::vector<char> buffer(1 << 16);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result) {
        return {};
    }
    return entry.pw_dir;
}

TEST_F(AgentDiscoveryTest, HomeComesFromPasswdUnlessHomeIsAbsolute) {
    const std::string fromPasswd = passwdHome();
    ASSERT_FALSE(fromPasswd.empty());
    const std::string expectedPasswdSocket =
        (fromPasswd == "/" ? "" : fromPasswd) + "/.1password/agent.sock";
    const auto onePassword = [] {
        for (const AgentSocketCandidate& found : AgentForwarder::socketCandidates(std::nullopt))
            if (found.label == "1Password") return found.path;
        return std::string();
    };
    homeVariable_.set(std::nullopt);
    EXPECT_EQ(onePassword(), expectedPasswdSocket);
    homeVariable_.set("relative/home");
    EXPECT_EQ(onePassword(), expectedPasswdSocket);

    homeVariable_.set(homePath() + "//");
    EXPECT_EQ(onePassword(), onePasswordPath());
}

// ---------------------------------------------------------------------------------------------
// Forwarding to a real ssh-agent

// The encoders return whole messages, length prefix included.
Bytes requestIdentities() { return SSHAgentProtocol::encodeRequestIdentities(); }

// The body of a reply that must be exactly one framed message.
Bytes replyBody(const Bytes& reply) {
    const auto deframed = SSHAgentProtocol::deframe(reply);
    if (!deframed || deframed->consumed != reply.size()) {
        ADD_FAILURE() << "reply of " << reply.size() << " bytes is not one framed message";
        return {};
    }
    return deframed->body;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

// The identity as `ssh-add -L` prints it.
std::string publicKeyLine(const SSHAgentIdentity& identity) {
    return identity.algorithmName().value_or("?") + " " + base64Encode(identity.keyBlob) + " " +
           identity.comment;
}

constexpr std::chrono::steady_clock::duration testTimeLimit = std::chrono::seconds(10);

// One exchange on an io_context of its own, run on the test thread until it ends.
Bytes forwardNow(ByteView request, const std::string& socketPath,
                 std::chrono::steady_clock::duration timeLimit = testTimeLimit) {
    asio::io_context io;
    return testing::runToEnd(
        io, AgentForwarder::forward(Bytes(request.begin(), request.end()), socketPath, timeLimit));
}

TEST(AgentForwarderRealAgentTest, IdentitiesAnswerListsTheAgentsKeys) {
    const SSHAgentFixture agent(SSHAgentFixture::allKeyTypes());
    const Bytes reply = forwardNow(requestIdentities(), agent.socketPath());

    const auto identities = SSHAgentProtocol::decodeIdentitiesAnswer(replyBody(reply));
    std::vector<std::string> forwarded;
    for (const auto& identity : identities) forwarded.push_back(publicKeyLine(identity));
    EXPECT_EQ(forwarded, lines(agent.sshAddList()));
    EXPECT_EQ(forwarded, agent.publicKeys());
}

// Ed25519 signatures are checked with OpenSSL: the key blob is string "ssh-ed25519", string
// key(32); the signature blob is string "ssh-ed25519", string signature(64) (RFC 8709).
bool verifiesEd25519(ByteView keyBlob, ByteView signatureBlob, ByteView data) {
    SSHWireReader keyReader(keyBlob);
    SSHWireReader signatureReader(signatureBlob);
    keyReader.readString();
    signatureReader.readString();
    const Bytes publicKey = keyReader.readString();
    const Bytes signature = signatureReader.readString();
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

std::string signatureAlgorithm(ByteView signatureBlob) {
    return toText(SSHWireReader(signatureBlob).readString());
}

TEST(AgentForwarderRealAgentTest, SignRequestsAreAnsweredByEachKey) {
    const SSHAgentFixture agent(SSHAgentFixture::allKeyTypes());
    const auto identities = SSHAgentProtocol::decodeIdentitiesAnswer(
        replyBody(forwardNow(requestIdentities(), agent.socketPath())));
    ASSERT_EQ(identities.size(), 3u);
    const Bytes data = toBytes("session identifier and user-auth request");

    const auto sign = [&](const SSHAgentIdentity& identity, SSHAgentSignFlags flags) {
        const Bytes request = SSHAgentProtocol::encodeSignRequest(identity.keyBlob, data, flags);
        return SSHAgentProtocol::decodeSignResponse(
            replyBody(forwardNow(request, agent.socketPath())));
    };
    for (const auto& identity : identities) {
        const std::string keyType = identity.algorithmName().value_or("");
        SCOPED_TRACE(keyType);
        if (keyType == "ssh-ed25519") {
            const Bytes signature = sign(identity, {});
            EXPECT_EQ(signatureAlgorithm(signature), "ssh-ed25519");
            EXPECT_TRUE(verifiesEd25519(identity.keyBlob, signature, data));
            EXPECT_FALSE(verifiesEd25519(identity.keyBlob, signature, toBytes("other data")));
        } else if (keyType == "ecdsa-sha2-nistp256") {
            EXPECT_EQ(signatureAlgorithm(sign(identity, {})), "ecdsa-sha2-nistp256");
        } else {
            ASSERT_EQ(keyType, "ssh-rsa");
            EXPECT_EQ(signatureAlgorithm(sign(identity, SSHAgentSignFlags::rsaSha2_256)),
                      "rsa-sha2-256");
            EXPECT_EQ(signatureAlgorithm(sign(identity, SSHAgentSignFlags::rsaSha2_512)),
                      "rsa-sha2-512");
        }
    }
}

// The request is not inspected, and the agent's one-byte failure answer is a whole reply.
TEST(AgentForwarderRealAgentTest, AgentFailureAnswersArePassedOn) {
    const SSHAgentFixture agent;
    const Bytes failure{0, 0, 0, 1, 5};
    const Bytes unknownKey = SSHAgentProtocol::encodeSignRequest(
        toBytes("not a key blob"), toBytes("data"), SSHAgentSignFlags{});
    EXPECT_EQ(forwardNow(unknownKey, agent.socketPath()), failure);
    const Bytes unknownMessage = SSHAgentProtocol::frame(Bytes{200, 1, 2, 3});
    EXPECT_EQ(forwardNow(unknownMessage, agent.socketPath()), failure);
}

// A hundred exchanges in flight at once on one thread, each on its own socket.
TEST(AgentForwarderRealAgentTest, ConcurrentExchangesEachGetTheirOwnWholeReply) {
    const SSHAgentFixture agent;
    const Bytes expected = forwardNow(requestIdentities(), agent.socketPath());
    asio::io_context io;
    int rightReplies = 0;
    int wrongReplies = 0;
    for (int exchange = 0; exchange < 100; ++exchange) {
        asio::co_spawn(
            io, AgentForwarder::forward(requestIdentities(), agent.socketPath(), testTimeLimit),
            [&](std::exception_ptr failure, Bytes reply) {
                ++(!failure && reply == expected ? rightReplies : wrongReplies);
            });
    }
    io.run();
    EXPECT_EQ(rightReplies, 100);
    EXPECT_EQ(wrongReplies, 0);
}

// A path of exactly `length` bytes inside directory.
std::string pathOfLength(const fs::path& directory, std::size_t length) {
    const std::string prefix = directory.string() + "/";
    return prefix + std::string(length - prefix.size(), 'a');
}

// Both paths are links to a live agent, so only the length check can refuse the longer one.
TEST(AgentForwarderRealAgentTest, SocketPathOf103BytesConnectsAnd104BytesIsRefused) {
    const SSHAgentFixture agent;
    const std::string longest = pathOfLength(agent.directory(), 103);
    const std::string tooLong = pathOfLength(agent.directory(), 104);
    fs::create_symlink(agent.socketPath(), longest);
    fs::create_symlink(agent.socketPath(), tooLong);

    EXPECT_EQ(replyBody(forwardNow(requestIdentities(), longest)).at(0),
              static_cast<std::uint8_t>(SSHAgentMessageType::identitiesAnswer));
    try {
        forwardNow(requestIdentities(), tooLong);
        ADD_FAILURE() << "a 104-byte path was accepted";
    } catch (const AgentForwarderFailure& failure) {
        EXPECT_EQ(failure.code(), AgentForwarderError::noSocketPath);
    }
}

struct ConnectCase {
    const char* name;
    std::string path;
    int expectedErrno;
};

TEST(AgentForwarderConnectTest, ConnectFailuresCarryTheErrno) {
    TemporaryDirectory directory;
    const std::string stale = (directory.path() / "stale.sock").string();
    {
        // The socket file of an agent that has gone away: it exists, nobody listens.
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, stale.c_str());
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(listener);
    }
    const std::string plainFile = (directory.path() / "plain").string();
    std::ofstream(plainFile) << "not a socket";

    // An empty path would reach Linux's abstract socket namespace if it were passed on.
    for (const ConnectCase& row : {ConnectCase{"missing", stale + ".missing", ENOENT},
                                   ConnectCase{"stale socket", stale, ECONNREFUSED},
                                   ConnectCase{"plain file", plainFile, ECONNREFUSED},
                                   ConnectCase{"empty path", "", ENOENT}}) {
        SCOPED_TRACE(row.name);
        try {
            forwardNow(requestIdentities(), row.path);
            ADD_FAILURE() << "connected";
        } catch (const AgentForwarderFailure& failure) {
            EXPECT_EQ(failure.code(), AgentForwarderError::connectFailed);
            EXPECT_EQ(failure.errnoValue(), row.expectedErrno);
        }
    }
}

// An agent too busy to accept (its listen backlog full) is waited for until the time limit, as
// for any other step, and then reported as a connection that timed out.
TEST(AgentForwarderConnectTest, AnAgentWhoseBacklogIsFullTimesOutConnecting) {
    TemporaryDirectory directory;
    const std::string path = (directory.path() / "busy.sock").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    const auto connectTo = [&](int fd) {
        return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    };
    const detail::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 0), 0);
    // With a backlog of 0 the first connection waits in the queue, and the queue is full.
    const detail::UniqueFd queued(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(connectTo(queued.get()), 0);
    const detail::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ASSERT_EQ(connectTo(probe.get()), -1);
    ASSERT_EQ(errno, EAGAIN) << "the backlog is not full";

    try {
        forwardNow(requestIdentities(), path, std::chrono::milliseconds(300));
        ADD_FAILURE() << "returned a reply";
    } catch (const AgentForwarderFailure& failure) {
        EXPECT_EQ(failure.code(), AgentForwarderError::connectFailed) << failure.what();
        EXPECT_EQ(failure.errnoValue(), ETIMEDOUT);
    }
}

TEST(AgentForwarderErrorTest, IsAnErrorCodeOfItsOwnCategory) {
    const std::error_code code = AgentForwarderError::connectFailed;
    EXPECT_STREQ(code.category().name(), "kestrel.agent-forwarder");
    EXPECT_NE(code, std::error_code(SSHWireError::truncated));  // both have the value 1
    const AgentForwarderFailure failure(AgentForwarderError::connectFailed, ENOENT);
    EXPECT_EQ(failure.code(), code);
    EXPECT_NE(std::string(failure.what()).find(std::strerror(ENOENT)), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Replies no real agent gives, from ScriptedAgentFake

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

struct FaultCase {
    const char* name;
    ScriptedAgentFake::Script script;
    AgentForwarderError expected;
    std::chrono::steady_clock::duration timeLimit = testTimeLimit;
    Bytes request = requestIdentities();
};

void PrintTo(const FaultCase& row, std::ostream* out) { *out << row.name; }

class AgentForwarderFaultTest : public ::testing::TestWithParam<FaultCase> {};

// Every failure is one error, never a partial reply, and the socket is closed on that path too.
TEST_P(AgentForwarderFaultTest, RaisesTheErrorAndClosesTheSocket) {
    const FaultCase& row = GetParam();
    TemporaryDirectory directory;
    const std::string socketPath = (directory.path() / "fake.sock").string();
    const std::size_t descriptorsBefore = openDescriptorCount();
    {
        ScriptedAgentFake agent(socketPath, row.script);
        try {
            const Bytes reply = forwardNow(row.request, socketPath, row.timeLimit);
            ADD_FAILURE() << "returned a reply of " << reply.size() << " bytes";
        } catch (const AgentForwarderFailure& failure) {
            EXPECT_EQ(failure.code(), row.expected) << failure.what();
        }
    }
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

using Script = ScriptedAgentFake::Script;

// Rejected lengths are followed by an open, silent connection: reading on after such a length
// would then end in timedOut rather than in the expected shortResponse.
INSTANTIATE_TEST_SUITE_P(
    Replies, AgentForwarderFaultTest,
    ::testing::Values(
        FaultCase{"ZeroLength", Script{.reply = {0, 0, 0, 0}, .holdOpen = true},
                  AgentForwarderError::shortResponse},
        FaultCase{"LengthOfTwoHundredFiftySixKiB", Script{.reply = {0, 4, 0, 0}, .holdOpen = true},
                  AgentForwarderError::shortResponse},
        FaultCase{"LargestUInt32Length", Script{.reply = {255, 255, 255, 255}, .holdOpen = true},
                  AgentForwarderError::shortResponse},
        FaultCase{"ClosedWithoutReply", Script{}, AgentForwarderError::shortResponse},
        FaultCase{"ClosedInLengthPrefix", Script{.reply = {0, 0}},
                  AgentForwarderError::shortResponse},
        FaultCase{"ClosedInBody", Script{.reply = {0, 0, 0, 10, 12, 0, 0}},
                  AgentForwarderError::shortResponse},
        FaultCase{"SilentUntilTimeout", Script{.reply = {}, .holdOpen = true},
                  AgentForwarderError::timedOut, std::chrono::milliseconds(300)},
        FaultCase{"SilentInBody", Script{.reply = {0, 0, 0, 10, 12, 0}, .holdOpen = true},
                  AgentForwarderError::timedOut, std::chrono::milliseconds(300)},
        // The time limit covers the request too: an agent that stops reading a request larger
        // than the socket buffers fails it as a write.
        FaultCase{
            "StopsReadingTheRequest",
            Script{.readRequest = false, .reply = {}, .holdOpen = true, .readWhileHolding = false},
            AgentForwarderError::writeFailed, std::chrono::milliseconds(300),
            SSHAgentProtocol::frame(Bytes(4 * 1024 * 1024, 13))},
        // Closing with the request unread makes the kernel reset the connection.
        FaultCase{"RequestLeftUnread", Script{.readRequest = false, .reply = {}},
                  AgentForwarderError::readFailed}),
    [](const auto& test) { return std::string(test.param.name); });

// The most that is accepted arrives whole, and the request arrives as it was given: a body the
// agent protocol does not know, longer than a socket buffer.
TEST(AgentForwarderFakeTest, LongestReplyAndAnyRequestPassUnchanged) {
    TemporaryDirectory directory;
    const std::string socketPath = (directory.path() / "fake.sock").string();
    Bytes requestBody(300000);
    for (std::size_t i = 0; i < requestBody.size(); ++i) requestBody[i] = i * 7 % 251;
    const Bytes request = SSHAgentProtocol::frame(requestBody);
    Bytes reply{0, 3, 255, 255};
    reply.resize(4 + AgentForwarder::maxResponseLength, 0x5a);

    ScriptedAgentFake agent(socketPath, {.reply = reply});
    EXPECT_EQ(forwardNow(request, socketPath), reply);
    EXPECT_EQ(agent.receivedRequest(), request);
}

// Without MSG_NOSIGNAL the write into the closed connection would raise SIGPIPE and end the
// whole test program here.
TEST(AgentForwarderFakeTest, AgentClosingDuringTheRequestIsAWriteFailure) {
    TemporaryDirectory directory;
    const std::string socketPath = (directory.path() / "fake.sock").string();
    const Bytes request = SSHAgentProtocol::frame(Bytes(4 * 1024 * 1024, 11));
    ScriptedAgentFake agent(socketPath, {.readRequest = false, .reply = {}});
    try {
        forwardNow(request, socketPath);
        ADD_FAILURE() << "returned a reply";
    } catch (const AgentForwarderFailure& failure) {
        EXPECT_EQ(failure.code(), AgentForwarderError::writeFailed) << failure.what();
    }
}

}  // namespace
}  // namespace kestrel
