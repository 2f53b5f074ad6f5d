// The whole chain with tools nobody here wrote: a real ssh-agent holds the keys, kestrel-relay
// lends it, kestrel-agent serves it on another socket, and OpenSSH's ssh-add, ssh-keygen and
// ssh (against a real sshd on loopback) use that socket.

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "protocol/base64.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "support/child_process.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool acceptsConnections(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

void waitFor(const std::function<bool()>& ready, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error(what + " did not come up");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// One connection to an agent socket, kept open between requests as ssh keeps its own for a
// whole session. Answers with the type byte of each reply.
class HeldAgentConnection {
public:
    explicit HeldAgentConnection(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + path);
    }
    ~HeldAgentConnection() { ::close(fd_); }
    HeldAgentConnection(const HeldAgentConnection&) = delete;
    HeldAgentConnection& operator=(const HeldAgentConnection&) = delete;

    // Sends "request identities" (11) and returns the reply's type: 12 for the identities, 5
    // for the agent failure message.
    int requestIdentities() { return request(SSHAgentProtocol::encodeRequestIdentities()); }

    // Sends one whole agent message and returns the reply's type.
    int request(const Bytes& message) {
        if (::write(fd_, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
            throw std::runtime_error("write");
        std::uint8_t header[4];
        readExactly(header, sizeof header);
        const std::size_t length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                                   std::size_t{header[2]} << 8 | header[3];
        std::vector<std::uint8_t> reply(length);
        readExactly(reply.data(), length);
        return length == 0 ? -1 : reply[0];
    }

private:
    void readExactly(std::uint8_t* buffer, std::size_t count) {
        while (count > 0) {
            const ssize_t got = ::read(fd_, buffer, count);
            if (got <= 0) throw std::runtime_error("the agent connection closed");
            buffer += got;
            count -= static_cast<std::size_t>(got);
        }
    }

    int fd_;
};

constexpr int identitiesAnswer = 12;
constexpr int failureAnswer = 5;
// What ssh-add says when the agent answers with the failure message (and not, say, when the
// socket is dead).
constexpr std::string_view refusedBySsh = "agent refused operation";

// One user's world for the whole suite: the agent with its three keys, the relay, the client
// paired with it and serving its socket, and an sshd that accepts only the agent's keys.
class OpenSSHEndToEndTest : public ::testing::Test {
protected:
    // The world is built by the first test and kept for the rest of the suite. One that cannot
    // be built fails every test with the reason: thrown from SetUpTestSuite, it would mark the
    // tests skipped, and ctest does not count a skipped test as a failure.
    void SetUp() override {
        if (world_ == nullptr && worldFailure_.empty()) {
            try {
                world_ = new World();
            } catch (const std::exception& error) {
                worldFailure_ = error.what();
            }
        }
        ASSERT_NE(world_, nullptr) << "the end-to-end world could not be set up: " << worldFailure_;
    }
    static void TearDownTestSuite() {
        delete world_;
        world_ = nullptr;
    }

    struct World {
        SSHAgentFixture agent{SSHAgentFixture::allKeyTypes()};
        TemporaryDirectory home;
        // A name from the network that a shell must never run: serve's lines are eval'd.
        std::string relayName = "relay 'e2e' $(touch " + (home.path() / "pwned").string() + ")";
        std::uint16_t relayPort = 0;
        std::uint16_t sshdPort = 0;  // chosen once the relay holds its own port
        std::string clientSocket = (home.path() / "client.sock").string();
        std::vector<std::string> relayEnvironment;
        std::vector<std::string> clientEnvironment;
        std::unique_ptr<ChildProcess> relay;
        std::unique_ptr<ChildProcess> client;
        pid_t sshd = -1;

        World() {
            fs::create_directories(home.path() / "run");
            fs::permissions(home.path() / "run", fs::perms::owner_all);
            const auto common = [&](const std::string& side) {
                return environmentWith(
                    {{"HOME", home.path().string()},
                     {"XDG_CONFIG_HOME", (home.path() / side / "config").string()},
                     {"XDG_DATA_HOME", (home.path() / side / "data").string()},
                     {"XDG_RUNTIME_DIR", (home.path() / "run").string()},
                     {"SSH_AUTH_SOCK", agent.socketPath()}});
            };
            relayEnvironment = common("relay");
            clientEnvironment = common("client");
            startRelay();
            pairClient();
            client = std::make_unique<ChildProcess>(
                std::vector<std::string>{KESTREL_AGENT, "serve", "-D", "--socket", clientSocket},
                clientEnvironment);
            const auto line = client->readLine();
            if (!line || *line != "SSH_AUTH_SOCK=" + clientSocket + "; export SSH_AUTH_SOCK;") {
                throw std::runtime_error("kestrel-agent serve: " + client->standardError());
            }
            startSshd();
        }

        ~World() {
            if (sshd > 0) {
                ::kill(sshd, SIGTERM);
                waitForExit(sshd);
            }
        }

        // The first start takes the port the system gives; a restart asks for the same one, as
        // the client knows the relay by its address.
        void startRelay() {
            relay = std::make_unique<ChildProcess>(
                std::vector<std::string>{KESTREL_RELAY, "serve", "--json", "--name", relayName,
                                         "--port", std::to_string(relayPort)},
                relayEnvironment);
            const auto line = relay->readLine();
            if (!line) throw std::runtime_error("kestrel-relay serve: " + relay->standardError());
            relayPort = Json::parse(*line)["port"].get<std::uint16_t>();
        }

        void pairClient() {
            ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, relayEnvironment);
            const std::string code = Json::parse(pair.readLine().value())["code"];
            runOrThrow({KESTREL_AGENT, "pair", "--relay", "127.0.0.1:" + std::to_string(relayPort),
                        "--name", "e2e laptop", "--code", code.substr(0, 3) + " " + code.substr(3)},
                       clientEnvironment);
            if (Json::parse(pair.readLine().value())["result"] != "paired")
                throw std::runtime_error("not paired");
        }

        void startSshd() {
            sshdPort = freePort();
            fs::create_directories("/run/sshd");
            const fs::path hostKey = home.path() / "ssh_host_ed25519_key";
            runOrThrow({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", hostKey.string()},
                       clientEnvironment);
            std::string keys;
            for (const std::string& key : agent.publicKeys()) keys += key + "\n";
            writeText(home.path() / "authorized_keys", keys);
            writeText(
                home.path() / "sshd_config",
                "Port " + std::to_string(sshdPort) + "\nListenAddress 127.0.0.1\nHostKey " +
                    hostKey.string() + "\nAuthorizedKeysFile " +
                    (home.path() / "authorized_keys").string() +
                    "\nPidFile none\nUsePAM no\nStrictModes no\nPermitRootLogin prohibit-password\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\nLogLevel ERROR\n");
            sshd = spawnWithLog(
                {"/usr/sbin/sshd", "-D", "-e", "-f", (home.path() / "sshd_config").string()},
                clientEnvironment, home.path() / "sshd.log");
            waitFor([&] { return acceptsConnections(sshdPort); }, "sshd");
        }
    };

    // Runs an OpenSSH tool against kestrel-agent's socket.
    static ProcessOutput throughClient(std::vector<std::string> arguments) {
        return runProcess(arguments, withVariable(world_->clientEnvironment, "SSH_AUTH_SOCK",
                                                  world_->clientSocket));
    }

    static World* world_;
    static std::string worldFailure_;
};

OpenSSHEndToEndTest::World* OpenSSHEndToEndTest::world_ = nullptr;
std::string OpenSSHEndToEndTest::worldFailure_;

TEST_F(OpenSSHEndToEndTest, SshAddListsExactlyWhatTheRealAgentHolds) {
    const ProcessOutput listed = throughClient({"ssh-add", "-L"});
    EXPECT_EQ(listed.exitStatus, 0) << listed.standardError;
    EXPECT_EQ(listed.standardOutput, world_->agent.sshAddList());
}

TEST_F(OpenSSHEndToEndTest, SshKeygenSignsWithEveryKeyTypeAndTheSignaturesVerify) {
    const fs::path data = world_->home.path() / "data.txt";
    writeText(data, "signed through the relay\n");
    for (const std::string& key : world_->agent.publicKeys()) {
        const std::string type = key.substr(0, key.find(' '));
        SCOPED_TRACE(type);
        const fs::path publicKey = world_->home.path() / (type + ".pub");
        writeText(publicKey, key + "\n");
        fs::remove(data.string() + ".sig");
        const ProcessOutput signedOutput = throughClient(
            {"ssh-keygen", "-Y", "sign", "-n", "file", "-f", publicKey.string(), data.string()});
        ASSERT_EQ(signedOutput.exitStatus, 0) << signedOutput.standardError;

        const fs::path allowed = world_->home.path() / "allowed_signers";
        writeText(allowed, "e2e@kestrel " + key + "\n");
        const ProcessOutput verified = runProcess(
            {"sh", "-c",
             "ssh-keygen -Y verify -f '" + allowed.string() + "' -I e2e@kestrel -n file -s '" +
                 data.string() + ".sig' < '" + data.string() + "'"},
            world_->clientEnvironment);
        EXPECT_EQ(verified.exitStatus, 0) << verified.standardOutput << verified.standardError;

        if (type == "ssh-rsa") {
            // The armoured signature names its algorithm; RSA signs with SHA-512.
            std::string armoured = readTextFile(data.string() + ".sig");
            std::string base64;
            std::istringstream lines(armoured);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("-----", 0) != 0) base64 += line;
            }
            const auto blob = base64Decode(base64);
            ASSERT_TRUE(blob);
            EXPECT_NE(toText(*blob).find("rsa-sha2-512"), std::string::npos);
        }
    }
}

TEST_F(OpenSSHEndToEndTest, SshLogsInToSshdWithAKeyOnlyTheAgentHolds) {
    const ProcessOutput login =
        throughClient({"ssh", "-F", "/dev/null", "-o", "BatchMode=yes", "-o",
                       "UserKnownHostsFile=" + (world_->home.path() / "known_hosts").string(), "-o",
                       "StrictHostKeyChecking=accept-new", "-o", "IdentitiesOnly=no", "-o",
                       "IdentityAgent=" + world_->clientSocket, "-p",
                       std::to_string(world_->sshdPort), "root@127.0.0.1", "echo logged-in"});
    EXPECT_EQ(login.exitStatus, 0)
        << login.standardError << readTextFile(world_->home.path() / "sshd.log");
    EXPECT_EQ(login.standardOutput, "logged-in\n");
}

TEST_F(OpenSSHEndToEndTest, RemovingAndLockingThroughTheClientAreRefused) {
    const fs::path askpass = world_->home.path() / "askpass";
    writeText(askpass, "#!/bin/sh\necho lock-passphrase\n");
    fs::permissions(askpass, fs::perms::owner_all);
    const std::string before = world_->agent.sshAddList();

    const ProcessOutput removeAll = throughClient({"ssh-add", "-D"});
    EXPECT_NE(removeAll.exitStatus, 0);
    EXPECT_NE(removeAll.standardError.find("Failed to remove all identities"), std::string::npos)
        << removeAll.standardError;
    std::vector<std::string> lockEnvironment =
        withVariable(world_->clientEnvironment, "SSH_AUTH_SOCK", world_->clientSocket);
    lockEnvironment.push_back("SSH_ASKPASS=" + askpass.string());
    lockEnvironment.push_back("SSH_ASKPASS_REQUIRE=force");
    lockEnvironment.push_back("DISPLAY=:0");
    const ProcessOutput lock = runProcess({"ssh-add", "-x"}, lockEnvironment);
    EXPECT_NE(lock.exitStatus, 0);
    EXPECT_NE(lock.standardError.find("Failed to lock"), std::string::npos) << lock.standardError;

    EXPECT_EQ(world_->agent.sshAddList(), before) << "the real agent keeps its keys, unlocked";
}

// The device's key is in the client's key file and nowhere else the client writes or prints.
TEST_F(OpenSSHEndToEndTest, TheDeviceKeyAppearsInNoOutputAndNoOtherFile) {
    const Json secrets =
        Json::parse(readTextFile(world_->home.path() / "client/data/kestrel-agent/secrets.json"));
    ASSERT_EQ(secrets.size(), 1u);
    const std::string key = secrets.begin()->begin()->get<std::string>();
    ASSERT_EQ(key.size(), 44u);
    const ProcessOutput list =
        runProcess({KESTREL_AGENT, "list", "--json"}, world_->clientEnvironment);
    for (const std::string& text :
         {list.standardOutput + list.standardError, world_->client->standardError(),
          world_->relay->standardError(),
          readTextFile(world_->home.path() / "client/config/kestrel-agent/relays.json")}) {
        EXPECT_EQ(text.find(key), std::string::npos);
    }
}

TEST_F(OpenSSHEndToEndTest, EvalOfServeStartsABackgroundAgentWhoseLinesRunNothingElse) {
    const fs::path socket = world_->home.path() / "background.sock";
    const fs::path log = world_->home.path() / "background.log";
    // The agent keeps standard error: into a file, so that this shell's output ends with it.
    const ProcessOutput shell =
        runProcess({"sh", "-c",
                    std::string("eval \"$('") + KESTREL_AGENT + "' serve --socket '" +
                        socket.string() + "' 2>'" + log.string() +
                        "')\" || exit 9\n"
                        "trap 'kill \"$KESTREL_AGENT_PID\"' EXIT\n"
                        "test \"$SSH_AUTH_SOCK\" = '" +
                        socket.string() + "' || exit 8\nssh-add -L"},
                   world_->clientEnvironment);
    EXPECT_EQ(shell.exitStatus, 0) << shell.standardError << readTextFile(log);
    EXPECT_EQ(shell.standardOutput.substr(shell.standardOutput.find('\n') + 1),
              world_->agent.sshAddList());
    EXPECT_NE(shell.standardOutput.find("relay \u201C" + world_->relayName + "\u201D"),
              std::string::npos)
        << shell.standardOutput;
    EXPECT_FALSE(fs::exists(world_->home.path() / "pwned")) << "the relay's name was run";
}

TEST_F(OpenSSHEndToEndTest, ServeNeverTakesOverALiveSocketOrAnotherFile) {
    const fs::path file = world_->home.path() / "not-a-socket";
    writeText(file, "keep me\n");
    for (const std::string& path : {world_->clientSocket, file.string()}) {
        SCOPED_TRACE(path);
        const ProcessOutput refused =
            runProcess({KESTREL_AGENT, "serve", "-D", "--socket", path}, world_->clientEnvironment);
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_EQ(std::count(refused.standardError.begin(), refused.standardError.end(), '\n'), 1)
            << refused.standardError;
    }
    EXPECT_EQ(readTextFile(file), "keep me\n");
    EXPECT_EQ(throughClient({"ssh-add", "-L"}).standardOutput, world_->agent.sshAddList())
        << "the first client still serves its socket";
}

// The relay told to use kestrel-agent's socket as its agent: every request would come back to
// the relay through kestrel-agent. A kestrel-agent in the foreground is known by its process;
// one that went to the background is not (the kernel names the parent that bound the socket,
// which has exited), and is caught when the request comes back. Either way the request is
// answered with a failure at once rather than looping until the time limit, and the relay says
// why.
TEST_F(OpenSSHEndToEndTest, AnAgentSocketThatLeadsBackToTheRelayIsReportedAsALoop) {
    const auto relayCommand = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTREL_RELAY);
        return runProcess(arguments, world_->relayEnvironment);
    };
    struct RestoreAgent {
        std::function<void()> restore;
        ~RestoreAgent() { restore(); }
    } const restoreAgent{[&] { relayCommand({"config", "set", "socket-override", ""}); }};

    const std::string backgroundSocket = (world_->home.path() / "background-loop.sock").string();
    const ProcessOutput background =
        runProcess({"sh", "-c",
                    std::string("'") + KESTREL_AGENT + "' serve --socket '" + backgroundSocket +
                        "' 2>'" + (world_->home.path() / "background-loop.log").string() + "'"},
                   world_->clientEnvironment);
    ASSERT_EQ(background.exitStatus, 0) << background.standardError;
    const std::string pidMarker = "KESTREL_AGENT_PID=";
    const std::size_t pidAt = background.standardOutput.find(pidMarker);
    ASSERT_NE(pidAt, std::string::npos) << background.standardOutput;
    const pid_t backgroundPid =
        std::stoi(background.standardOutput.substr(pidAt + pidMarker.size()));
    struct StopAgent {
        pid_t pid;
        ~StopAgent() { ::kill(pid, SIGTERM); }
    } const stopBackground{backgroundPid};

    struct Case {
        const char* name;
        std::string socket;
        bool knownByItsProcess;
    };
    for (const Case& row : {Case{"foreground", world_->clientSocket, true},
                            Case{"background", backgroundSocket, false}}) {
        SCOPED_TRACE(row.name);
        const ProcessOutput set =
            relayCommand({"config", "set", "socket-override", row.socket, "--json"});
        ASSERT_EQ(set.exitStatus, 0) << set.standardError;
        if (row.knownByItsProcess) {
            EXPECT_NE(Json::parse(set.standardOutput).value("warning", "").find("kestrel-agent"),
                      std::string::npos)
                << set.standardOutput;
        }

        const ProcessOutput list =
            runProcess({"ssh-add", "-L"},
                       withVariable(world_->clientEnvironment, "SSH_AUTH_SOCK", row.socket));
        EXPECT_NE(list.exitStatus, 0);
        EXPECT_NE(list.standardError.find(refusedBySsh), std::string::npos) << list.standardError;

        const Json failure =
            Json::parse(relayCommand({"status", "--json"}).standardOutput)["lastAgentFailure"];
        ASSERT_TRUE(failure.is_object());
        EXPECT_EQ(failure["socketPath"], row.socket);
        EXPECT_NE(failure["reason"].get<std::string>().find("loop"), std::string::npos)
            << failure["reason"];
        EXPECT_NE(world_->relay->standardError().find(failure["line"].get<std::string>()),
                  std::string::npos);
    }
    relayCommand({"config", "set", "socket-override", ""});
    EXPECT_EQ(throughClient({"ssh-add", "-L"}).standardOutput, world_->agent.sshAddList())
        << "the relay lends the real agent again";
}

TEST_F(OpenSSHEndToEndTest, OutOfDescriptorsServeWaitsInsteadOfSpinningAndServesAgain) {
    const std::string path = (world_->home.path() / "limited.sock").string();
    ChildProcess limited(
        {"/usr/bin/prlimit", "--nofile=24:24", KESTREL_AGENT, "serve", "-D", "--socket", path},
        world_->clientEnvironment);
    ASSERT_TRUE(limited.readLine()) << limited.standardError();
    const auto listKeys = [&] {
        return runProcess({"ssh-add", "-L"},
                          withVariable(world_->clientEnvironment, "SSH_AUTH_SOCK", path));
    };
    // Served once while descriptors last. This also matters to the sanitizer build: UBSan
    // checks a type it meets for the first time through a pipe of its own, which a program out
    // of descriptors cannot open (it would report a bogus invalid vptr and stop).
    EXPECT_EQ(listKeys().standardOutput, world_->agent.sshAddList());

    // More connections than its descriptors: the rest wait in the socket's backlog.
    std::vector<std::unique_ptr<HeldAgentConnection>> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<HeldAgentConnection>(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(processorTicksDuring(limited.pid(), std::chrono::seconds(1)),
              sysconf(_SC_CLK_TCK) / 4)
        << "the accept loop spins on EMFILE";

    idle.clear();
    const ProcessOutput listed = listKeys();
    EXPECT_EQ(listed.standardOutput, world_->agent.sshAddList()) << listed.standardError;
    limited.signal(SIGTERM);
    EXPECT_EQ(limited.wait(), 0) << limited.standardError();
}

// What is signed, through the whole chain: the relay names a real login and real Git
// signatures, with the key as ssh-keygen -l prints it, in its log and its activity; a device
// set to ask waits for the user, who denies, allows, or allows for 10 minutes; and a device
// limited to some keys sees only those, while a sign with another never reaches the agent.
TEST_F(OpenSSHEndToEndTest, TheRelaySaysWhatIsSignedAndTheUserCanSayNo) {
    World& world = *world_;
    const auto relay = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTREL_RELAY);
        return runProcess(arguments, world.relayEnvironment);
    };
    struct Key {
        fs::path file;
        std::string line;
        std::string fingerprint;  // as ssh-keygen -l prints it
        std::string comment;
    };
    const auto keyOf = [&](const std::string& line, const std::string& name) {
        Key key{world.home.path() / (name + ".pub"), line, {}, {}};
        writeText(key.file, line + "\n");
        const ProcessOutput listed =
            runProcess({"ssh-keygen", "-l", "-f", key.file.string()}, world.clientEnvironment);
        std::istringstream words(listed.standardOutput);
        std::string bits;
        words >> bits >> key.fingerprint >> key.comment;
        return key;
    };
    std::vector<Key> keys;
    for (const std::string& line : world.agent.publicKeys())
        keys.push_back(keyOf(line, "signing-" + std::to_string(keys.size())));
    const auto login = [&](const Key& key) {
        return throughClient({"ssh", "-F", "/dev/null", "-o", "BatchMode=yes", "-o",
                              "UserKnownHostsFile=" + (world.home.path() / "known_hosts").string(),
                              "-o", "StrictHostKeyChecking=accept-new", "-o", "IdentitiesOnly=yes",
                              "-o", "IdentityFile=" + key.file.string(), "-o",
                              "IdentityAgent=" + world.clientSocket, "-p",
                              std::to_string(world.sshdPort), "root@127.0.0.1", "echo logged-in"});
    };
    const auto activity = [&] {
        const ProcessOutput shown = relay({"activity", "--json"});
        EXPECT_EQ(shown.exitStatus, 0) << shown.standardError;
        return Json::parse(shown.standardOutput);
    };
    const auto lastSign = [&] {
        Json last;
        const Json all = activity();
        for (const Json& entry : all["activity"])
            if (entry["kind"] == "sign") last = entry;
        return last;
    };
    const auto logged = [&](const std::string& text) {
        return world.relay->standardError().find(text) != std::string::npos;
    };
    const auto named = [](const Key& key) {
        return "\u201C" + key.comment + "\u201D " + key.fingerprint;
    };

    // A login and two Git signatures (ssh-keygen, and git commit -S as Git runs it).
    const ProcessOutput loggedIn = login(keys[0]);
    ASSERT_EQ(loggedIn.exitStatus, 0) << loggedIn.standardError;
    Json entry = lastSign();
    EXPECT_EQ(entry["purpose"]["kind"], "login");
    EXPECT_EQ(entry["purpose"]["name"], "root");
    EXPECT_EQ(entry["keyFingerprint"], keys[0].fingerprint);
    EXPECT_EQ(entry["keyComment"], keys[0].comment);
    EXPECT_EQ(entry["result"], "answered");
    EXPECT_TRUE(logged("log in as \u201Croot\u201D with " + named(keys[0])))
        << world.relay->standardError();
    // serve --json: the same as an event on standard output (read here, which also keeps the
    // pipe from filling).
    Json event;
    while (const auto line = world.relay->readLine(std::chrono::seconds(5))) {
        event = Json::parse(*line);
        if (event["event"] == "signRequest" && event["purpose"] == "login") break;
    }
    EXPECT_EQ(event["keyFingerprint"], keys[0].fingerprint);
    EXPECT_EQ(event["result"], "answered");
    while (world.relay->readLine(std::chrono::milliseconds(100))) {
    }

    const fs::path data = world.home.path() / "tag.txt";
    writeText(data, "a tag\n");
    const ProcessOutput tagged = throughClient(
        {"ssh-keygen", "-Y", "sign", "-n", "git", "-f", keys[1].file.string(), data.string()});
    ASSERT_EQ(tagged.exitStatus, 0) << tagged.standardError;
    entry = lastSign();
    EXPECT_EQ(entry["purpose"]["kind"], "signature");
    EXPECT_EQ(entry["purpose"]["name"], "git");
    EXPECT_EQ(entry["keyFingerprint"], keys[1].fingerprint);
    EXPECT_TRUE(logged("sign for \u201Cgit\u201D (a Git commit or tag) with " + named(keys[1])));

    const fs::path repository = world.home.path() / "repository";
    runOrThrow({"git", "init", "-q", repository.string()}, world.clientEnvironment);
    const ProcessOutput committed =
        throughClient({"git", "-C", repository.string(), "-c", "user.name=E2E", "-c",
                       "user.email=e2e@example.org", "-c", "gpg.format=ssh", "-c",
                       "user.signingkey=" + keys[2].file.string(), "commit", "-q", "-S",
                       "--allow-empty", "-m", "signed through the relay"});
    ASSERT_EQ(committed.exitStatus, 0) << committed.standardError;
    entry = lastSign();
    EXPECT_EQ(entry["purpose"]["name"], "git");
    EXPECT_EQ(entry["keyFingerprint"], keys[2].fingerprint);
    EXPECT_TRUE(logged("sign for \u201Cgit\u201D (a Git commit or tag) with " + named(keys[2])));

    // Ask before signing: each answer given from the terminal while ssh waits.
    ASSERT_EQ(relay({"device", "e2e laptop", "approval", "ask"}).exitStatus, 0);
    const auto loginAnswered = [&](std::vector<std::string> answer) {
        auto pending = std::async(std::launch::async, [&] { return login(keys[0]); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        Json waiting;
        while ((waiting = activity()["waitingForApproval"]).empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(waiting.size(), 1u);
        if (waiting.size() == 1) {
            EXPECT_EQ(waiting[0]["detail"], "log in as \u201Croot\u201D with " + named(keys[0]));
            answer.push_back(std::to_string(waiting[0]["requestID"].get<std::uint64_t>()));
            const ProcessOutput answered = relay(answer);
            EXPECT_EQ(answered.exitStatus, 0) << answered.standardError;
        }
        return pending.get();
    };
    const ProcessOutput denied = loginAnswered({"deny"});
    EXPECT_NE(denied.exitStatus, 0);
    EXPECT_NE(denied.standardError.find("Permission denied"), std::string::npos)
        << denied.standardError;
    EXPECT_EQ(lastSign()["result"], "denied");
    EXPECT_EQ(loginAnswered({"allow"}).standardOutput, "logged-in\n");
    EXPECT_EQ(loginAnswered({"allow", "--for-10-minutes"}).standardOutput, "logged-in\n");
    const auto waits = [&] {
        const std::string log = world.relay->standardError();
        std::size_t count = 0;
        for (std::size_t at = 0; (at = log.find("waits for you", at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    const std::size_t waitedBefore = waits();
    EXPECT_EQ(login(keys[0]).standardOutput, "logged-in\n");
    EXPECT_EQ(waits(), waitedBefore) << "asked again within 10 minutes";
    EXPECT_EQ(lastSign()["result"], "answered");
    ASSERT_EQ(relay({"device", "e2e laptop", "approval", "allow"}).exitStatus, 0);

    // A key subset, in front of an agent that logs every request it gets.
    TemporaryDirectory debugHome;
    const std::string debugSocket = (debugHome.path() / "agent.sock").string();
    ChildProcess debugAgent({"ssh-agent", "-d", "-a", debugSocket}, world.clientEnvironment);
    ASSERT_TRUE(debugAgent.readLine());
    std::vector<Key> debugKeys;
    for (const std::string name : {"allowed", "other"}) {
        const fs::path file = debugHome.path() / name;
        runOrThrow({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", file.string()},
                   world.clientEnvironment);
        runOrThrow({"ssh-add", "-q", file.string()},
                   withVariable(world.clientEnvironment, "SSH_AUTH_SOCK", debugSocket));
        std::string line = readTextFile(file.string() + ".pub");
        line.erase(line.find('\n'));
        debugKeys.push_back(keyOf(line, std::string("debug-") + name));
    }
    struct Restore {
        std::function<void()> restore;
        ~Restore() { restore(); }
    } const restore{[&] {
        relay({"device", "e2e laptop", "keys", "all"});
        relay({"config", "set", "socket-override", ""});
    }};
    ASSERT_EQ(relay({"config", "set", "socket-override", debugSocket}).exitStatus, 0);
    const ProcessOutput limited =
        relay({"device", "e2e laptop", "keys", debugKeys[0].fingerprint, "--json"});
    ASSERT_EQ(limited.exitStatus, 0) << limited.standardError;
    EXPECT_EQ(Json::parse(limited.standardOutput)["device"]["keys"],
              Json::array({debugKeys[0].fingerprint}));
    const Json device = Json::parse(relay({"devices", "--json"}).standardOutput)["devices"][0];
    EXPECT_EQ(device["keys"], Json::array({debugKeys[0].fingerprint}));
    EXPECT_EQ(device["approval"], "allow");

    const ProcessOutput listed = throughClient({"ssh-add", "-L"});
    EXPECT_EQ(listed.standardOutput, debugKeys[0].line + "\n");
    // A client that does not take the list for an answer, and asks for the other key anyway.
    const std::string otherBase64 = debugKeys[1].line.substr(debugKeys[1].line.find(' ') + 1);
    const auto otherBlob = base64Decode(otherBase64.substr(0, otherBase64.find(' ')));
    ASSERT_TRUE(otherBlob);
    HeldAgentConnection direct(world.clientSocket);
    EXPECT_EQ(direct.request(SSHAgentProtocol::encodeSignRequest(*otherBlob, toBytes("data"), {})),
              failureAnswer);
    EXPECT_EQ(debugAgent.standardError().find("process_sign_request2"), std::string::npos)
        << "a sign with a key the device may not use reached the agent:\n"
        << debugAgent.standardError();
    entry = lastSign();
    EXPECT_EQ(entry["result"], "refused");
    EXPECT_EQ(entry["keyFingerprint"], debugKeys[1].fingerprint);
    fs::remove(data.string() + ".sig");
    const ProcessOutput allowed = throughClient({"ssh-keygen", "-Y", "sign", "-n", "file", "-f",
                                                 debugKeys[0].file.string(), data.string()});
    EXPECT_EQ(allowed.exitStatus, 0) << allowed.standardError;
    EXPECT_NE(debugAgent.standardError().find("process_sign_request2"), std::string::npos);
}

// Last in the suite: it restarts the relay, then revokes the client and stops it.
TEST_F(OpenSSHEndToEndTest, SurvivesARelayRestartAndStopsAtRevocation) {
    const std::string allKeys = world_->agent.sshAddList();
    HeldAgentConnection held(world_->clientSocket);
    ASSERT_EQ(held.requestIdentities(), identitiesAnswer);

    world_->relay->signal(SIGTERM);
    ASSERT_EQ(world_->relay->wait(), 0);
    const ProcessOutput whileDown = throughClient({"ssh-add", "-L"});
    EXPECT_NE(whileDown.exitStatus, 0);
    EXPECT_NE(whileDown.standardError.find(refusedBySsh), std::string::npos)
        << whileDown.standardError;
    // The line is written before the failure answer goes out.
    EXPECT_NE(world_->client->standardError().find("is unreachable"), std::string::npos)
        << world_->client->standardError();

    world_->startRelay();
    EXPECT_EQ(held.requestIdentities(), identitiesAnswer)
        << "a connection held across the restart is reopened, not failed once";
    const ProcessOutput afterRestart = throughClient({"ssh-add", "-L"});
    EXPECT_EQ(afterRestart.exitStatus, 0) << afterRestart.standardError;
    EXPECT_EQ(afterRestart.standardOutput, allKeys);

    runOrThrow({KESTREL_RELAY, "revoke", "e2e laptop"}, world_->relayEnvironment);
    const ProcessOutput revoked = throughClient({"ssh-add", "-L"});
    EXPECT_NE(revoked.exitStatus, 0);
    EXPECT_NE(revoked.standardError.find(refusedBySsh), std::string::npos) << revoked.standardError;
    EXPECT_EQ(held.requestIdentities(), failureAnswer);
    EXPECT_NE(world_->client->standardError().find("no longer knows this device (revoked?)"),
              std::string::npos)
        << world_->client->standardError();
    EXPECT_EQ(world_->agent.sshAddList(), allKeys) << "the real agent is untouched";

    world_->client->signal(SIGTERM);
    EXPECT_EQ(world_->client->wait(), 0);
    EXPECT_FALSE(fs::exists(world_->clientSocket));
}

}  // namespace
}  // namespace kestrel::testing

namespace kestrel::testing {
namespace {

// A stand-in for a relay on a paired relay's port, because a real relay cannot be made to drop
// one chosen connection. It reads each connection's first frame (the preamble) and ends the
// connection as the relay does: with a reset (SO_LINGER 0) when it drops a connection before
// the device has authenticated, or with a clean end of stream (its FIN, then what arrived
// drained) when it turns the device away.
class FakeRelay {
public:
    FakeRelay(std::uint16_t port, bool reset)
        : listener_(::socket(AF_INET, SOCK_STREAM, 0)), reset_(reset) {
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0) {
            ::close(listener_);
            throw std::runtime_error("the stand-in relay cannot listen on its port");
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    FakeRelay(const FakeRelay&) = delete;
    FakeRelay& operator=(const FakeRelay&) = delete;

    int connections() const { return connections_; }

private:
    void serve() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 20) != 1) continue;
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) continue;
            ++connections_;
            readPreamble(connection);
            end(connection);
        }
    }

    static void readPreamble(int connection) {
        const timeval limit{2, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::uint8_t header[4];
        if (::recv(connection, header, sizeof header, MSG_WAITALL) != sizeof header) return;
        std::vector<std::uint8_t> preamble(std::size_t{header[2]} << 8 | header[3]);
        ::recv(connection, preamble.data(), preamble.size(), MSG_WAITALL);
    }

    void end(int connection) const {
        if (reset_) {
            const linger abortive{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        } else {
            ::shutdown(connection, SHUT_WR);
            std::uint8_t discarded[4096];
            while (::recv(connection, discarded, sizeof discarded, MSG_DONTWAIT) > 0) {
            }
        }
        ::close(connection);
    }

    int listener_;
    bool reset_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// kestrel-agent's own errors: one line, nothing stored.
class AgentCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(home_.path() / "run");
        fs::permissions(home_.path() / "run", fs::perms::owner_all);
        environment_ = environmentWith({{"HOME", home_.path().string()},
                                        {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                                        {"XDG_DATA_HOME", (home_.path() / "data").string()},
                                        {"XDG_RUNTIME_DIR", (home_.path() / "run").string()}});
    }

    ProcessOutput agent(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTREL_AGENT);
        return runProcess(arguments, environment_);
    }

    TemporaryDirectory home_;
    std::vector<std::string> environment_;
};

TEST_F(AgentCommandLineTest, BadArgumentsGetOneLineAndExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"pair", "--relay", "127.0.0.1:1", "--relay-name", "Desk", "--code", "123456"},
        {"pair", "--relay", "no-port", "--code", "1"},
        {"pair", "--relay", "host:0"},
        {"pair", "--relay", "::1:4000"},
        {"pair", "--relay", "127.0.0.1:1", "--code", "12345"},
        {"pair", "--relay", "127.0.0.1:1", "--code", "12a456"},
        {"pair", "--relay", "127.0.0.1:1", "--code", "1234567"},
        {"pair", "--relay", "127.0.0.1:1"},  // no code on the empty standard input
        {"list", "extra"},
        {"serve", "--bogus"},
        {"serve", "-X"},
        {"serve", "-DD"},
        {"forget"},
        {"frobnicate"},
    };
    for (const auto& arguments : cases) {
        const ProcessOutput output = agent(arguments);
        EXPECT_EQ(output.exitStatus, 2) << arguments.back();
        EXPECT_EQ(std::count(output.standardError.begin(), output.standardError.end(), '\n'), 1)
            << output.standardError;
    }
    for (const std::string command : {"pair", "serve", "list", "forget"}) {
        const ProcessOutput help = agent({command, "--help"});
        EXPECT_EQ(help.exitStatus, 0);
        EXPECT_TRUE(help.standardOutput.starts_with("usage: kestrel-agent " + command + " "))
            << help.standardOutput;
    }
    const ProcessOutput unpaired = agent({"serve", "-D"});
    EXPECT_EQ(unpaired.exitStatus, 1);
    EXPECT_NE(unpaired.standardError.find("no relay is paired"), std::string::npos);

    // Without --relay the relay is looked up by DNS-SD, which needs avahi-daemon on the bus.
    environment_ = withVariable(environment_, "DBUS_SYSTEM_BUS_ADDRESS",
                                "unix:path=" + (home_.path() / "no-bus").string());
    const ProcessOutput noDaemon = agent({"pair", "--code", "123456"});
    EXPECT_EQ(noDaemon.exitStatus, 1);
    EXPECT_EQ(noDaemon.standardError,
              "kestrel-agent: avahi-daemon is not running, so relays cannot be looked up by "
              "name\n");
}

// The relay gives one handshake per code: after the wrong code, the right one finds no code
// open. Each failure is one line, and the client stores nothing.
TEST_F(AgentCommandLineTest, AWrongCodeIsRefusedAndNothingIsStored) {
    ChildProcess relay({KESTREL_RELAY, "serve", "--json"}, environment_);
    const std::string address =
        "127.0.0.1:" + std::to_string(Json::parse(relay.readLine().value())["port"].get<int>());
    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const std::string code = Json::parse(pair.readLine().value())["code"];
    const std::string wrong = code == "000000" ? "111111" : "000000";

    const struct {
        std::string code;
        std::string message;
    } attempts[] = {
        {wrong, "the relay did not accept this code; check it and try again"},
        {code, "no code is open there"},
    };
    for (const auto& attempt : attempts) {
        const ProcessOutput refused = agent({"pair", "--relay", address, "--code", attempt.code});
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_NE(refused.standardError.find(attempt.message), std::string::npos)
            << refused.standardError;
        EXPECT_EQ(std::count(refused.standardError.begin(), refused.standardError.end(), '\n'), 1)
            << refused.standardError;
    }
    EXPECT_FALSE(fs::exists(home_.path() / "config" / "kestrel-agent"));
    EXPECT_FALSE(fs::exists(home_.path() / "data" / "kestrel-agent"));
    EXPECT_EQ(agent({"list", "--json"}).standardOutput, "[]\n");
}

// Pairing the same relay again must not happen blind: without --replace it is refused before
// the code is used; with it, the old pairing goes here and the user is told it stays there.
TEST_F(AgentCommandLineTest, PairingARelayAgainNeedsReplaceAndSaysTheOldDeviceStaysThere) {
    ChildProcess relay({KESTREL_RELAY, "serve", "--json"}, environment_);
    const std::string address =
        "127.0.0.1:" + std::to_string(Json::parse(relay.readLine().value())["port"].get<int>());
    std::unique_ptr<ChildProcess> pair;
    const auto openCode = [&] {
        pair = std::make_unique<ChildProcess>(
            std::vector<std::string>{KESTREL_RELAY, "pair", "--json"}, environment_);
        return Json::parse(pair->readLine().value())["code"].get<std::string>();
    };
    const auto pairedIDs = [&] {
        std::vector<std::string> ids;
        for (const Json& entry : Json::parse(agent({"list", "--json"}).standardOutput))
            ids.push_back(entry["deviceID"]);
        return ids;
    };
    ASSERT_EQ(agent({"pair", "--relay", address, "--code", openCode()}).exitStatus, 0);
    const std::vector<std::string> first = pairedIDs();
    ASSERT_EQ(first.size(), 1u);

    const std::string code = openCode();
    const ProcessOutput refused = agent({"pair", "--relay", address, "--code", code});
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_NE(refused.standardError.find("already paired with relay"), std::string::npos)
        << refused.standardError;
    EXPECT_EQ(pairedIDs(), first);

    // The refusal did not use the code.
    const ProcessOutput replaced = agent({"pair", "--relay", address, "--code", code, "--replace"});
    ASSERT_EQ(replaced.exitStatus, 0) << replaced.standardError;
    EXPECT_NE(replaced.standardOutput.find("`kestrel-relay revoke " + first[0] + "`"),
              std::string::npos)
        << replaced.standardOutput;
    const std::vector<std::string> second = pairedIDs();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
    const Json secrets =
        Json::parse(readTextFile(home_.path() / "data/kestrel-agent/secrets.json"));
    EXPECT_EQ(secrets.dump().find(first[0]), std::string::npos) << "the old key is deleted";
    EXPECT_NE(runOrThrow({KESTREL_RELAY, "devices", "--json"}, environment_)
                  .standardOutput.find(first[0]),
              std::string::npos)
        << "the relay still lists the old device";
}

// A relay that drops the connection before the device authenticates (as it does to make room
// when flooded) may be busy: kestrel-agent tries again twice, then says so. Only a relay that
// turns the device away with a clean end of stream is taken to no longer know it.
TEST_F(AgentCommandLineTest, ADroppedConnectionIsRetriedAndReportedAsBusyNotAsRevoked) {
    std::uint16_t port = 0;
    {
        ChildProcess relay({KESTREL_RELAY, "serve", "--json"}, environment_);
        port = Json::parse(relay.readLine().value())["port"].get<std::uint16_t>();
        ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
        const std::string code = Json::parse(pair.readLine().value())["code"];
        runOrThrow(
            {KESTREL_AGENT, "pair", "--relay", "127.0.0.1:" + std::to_string(port), "--code", code},
            environment_);
        relay.signal(SIGTERM);
        ASSERT_EQ(relay.wait(), 0);
    }
    const struct {
        bool reset;
        std::string line;
        int connections;
    } cases[] = {
        {true,
         ": the relay closed the connection before this device authenticated (it may be busy)\n",
         3},
        {false, ": the relay no longer knows this device (revoked?); pair again\n", 1},
    };
    const std::string socket = (home_.path() / "agent.sock").string();
    for (const auto& row : cases) {
        FakeRelay relay(port, row.reset);
        ChildProcess client({KESTREL_AGENT, "serve", "-D", "--socket", socket}, environment_);
        ASSERT_TRUE(client.readLine()) << client.standardError();
        const ProcessOutput listed =
            runProcess({"ssh-add", "-L"}, withVariable(environment_, "SSH_AUTH_SOCK", socket));
        EXPECT_NE(listed.standardError.find(refusedBySsh), std::string::npos)
            << listed.standardError;
        EXPECT_NE(client.standardError().find(row.line), std::string::npos)
            << client.standardError();
        EXPECT_EQ(relay.connections(), row.connections);
        client.signal(SIGTERM);
        EXPECT_EQ(client.wait(), 0);
    }
}

}  // namespace
}  // namespace kestrel::testing
