// The relay found by DNS-SD as a device finds it: `kestrel-relay serve` on host A of a link of
// its own, a real avahi-daemon on each host, and `avahi-browse` on host B.

#include <signal.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/avahi_network.hpp"
#include "support/child_process.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Host = AvahiNetwork::Host;

constexpr const char* serviceType = "_tidewell-agent._tcp";

class DNSSDTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = AvahiNetwork::unavailableReason()) GTEST_SKIP() << *reason;
        network_ = std::make_unique<AvahiNetwork>();
        std::filesystem::create_directories(home_.path() / "run");
        std::filesystem::permissions(home_.path() / "run", std::filesystem::perms::owner_all);
        environment_ = network_->environment(
            Host::a, environmentWith({{"HOME", home_.path().string()},
                                      {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                                      {"XDG_DATA_HOME", (home_.path() / "data").string()},
                                      {"XDG_RUNTIME_DIR", (home_.path() / "run").string()}}));
    }

    // Runs the relay on host A and returns its port.
    int startRelay(const std::string& name, int port = 0) {
        relay_ = std::make_unique<ChildProcess>(
            network_->inside(Host::a, {KESTREL_RELAY, "serve", "--json", "--name", name, "--port",
                                       std::to_string(port)}),
            environment_);
        const auto line = relay_->readLine();
        if (!line) throw std::runtime_error("serve did not start: " + relay_->standardError());
        return Json::parse(*line)["port"].get<int>();
    }

    // The advertising line of `status`, once it reads `expected` (or the last one read).
    std::string advertisingOnceItIs(const std::string& expected) {
        std::string description;
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (std::chrono::steady_clock::now() < deadline) {
            const ProcessOutput output =
                runProcess({KESTREL_RELAY, "status", "--json"}, environment_);
            if (output.exitStatus == 0) {
                description = Json::parse(output.standardOutput)["advertising"]["description"]
                                  .get<std::string>();
                if (description == expected) break;
            }
            std::this_thread::sleep_for(100ms);
        }
        return description;
    }

    // What host B resolves for the service type, once a line for `escapedName` (and `port`,
    // when given) shows up.
    std::string resolvedFromB(const std::string& escapedName, std::optional<int> port = {}) {
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string& line : network_->browse(Host::b, serviceType)) {
                if (line.find(";" + escapedName + ";") != std::string::npos &&
                    (!port || line.ends_with(";" + std::to_string(*port) + ";")))
                    return line;
            }
            std::this_thread::sleep_for(200ms);
        }
        return {};
    }

    TemporaryDirectory home_;
    std::unique_ptr<AvahiNetwork> network_;
    std::vector<std::string> environment_;
    std::unique_ptr<ChildProcess> relay_;
};

// The relay starts before any daemon, is advertised once one runs, and again after the daemon
// restarts; each time host B resolves the relay's name to its address and port, with no TXT.
TEST_F(DNSSDTest, AdvertisedWhenTheDaemonComesAndAgainAfterItRestarts) {
    network_->startDaemon(Host::b);
    const int port = startRelay("Demo Relay");
    EXPECT_EQ(advertisingOnceItIs("waiting for avahi-daemon"), "waiting for avahi-daemon");

    network_->startDaemon(Host::a);
    EXPECT_EQ(advertisingOnceItIs("advertised as \u201CDemo Relay\u201D"),
              "advertised as \u201CDemo Relay\u201D");
    const std::string expected = ";IPv4;Demo\\032Relay;_tidewell-agent._tcp;local;";
    std::string line = resolvedFromB("Demo\\032Relay");
    EXPECT_NE(line.find(expected), std::string::npos) << line;
    EXPECT_TRUE(line.ends_with(";" + network_->address(Host::a) + ";" + std::to_string(port) + ";"))
        << line;

    network_->stopDaemon(Host::a);
    EXPECT_EQ(advertisingOnceItIs("waiting for avahi-daemon"), "waiting for avahi-daemon");
    network_->startDaemon(Host::a);
    EXPECT_EQ(advertisingOnceItIs("advertised as \u201CDemo Relay\u201D"),
              "advertised as \u201CDemo Relay\u201D");
    EXPECT_FALSE(resolvedFromB("Demo\\032Relay", port).empty());
}

// Another program on the host holds the name: the relay takes Avahi's alternative and says so.
TEST_F(DNSSDTest, ANameInUseIsAdvertisedUnderAnAlternative) {
    network_->startDaemon(Host::a);
    network_->startDaemon(Host::b);
    ChildProcess other(
        network_->inside(Host::a, {"avahi-publish", "-s", "Demo Relay", serviceType, "1234"}),
        network_->environment(Host::a, environmentWith({})));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (other.standardError().find("Established") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_NE(other.standardError().find("Established"), std::string::npos)
        << other.standardError();

    const int port = startRelay("Demo Relay");
    EXPECT_EQ(advertisingOnceItIs("name in use, advertised as \u201CDemo Relay #2\u201D"),
              "name in use, advertised as \u201CDemo Relay #2\u201D");
    EXPECT_FALSE(resolvedFromB("Demo\\032Relay\\032\\0352", port).empty());
}

// A computer on host B pairs with the relay by its name, then keeps using it after the relay
// comes back on another port: kestrel-agent finds it again by name and stores the new address.
TEST_F(DNSSDTest, PairsByNameAcrossTheLinkAndFollowsTheRelayToANewPort) {
    const SSHAgentFixture agent;
    environment_ = withVariable(environment_, "SSH_AUTH_SOCK", agent.socketPath());
    network_->startDaemon(Host::a);
    network_->startDaemon(Host::b);
    const int firstPort = startRelay("Demo Relay");
    ASSERT_EQ(advertisingOnceItIs("advertised as \u201CDemo Relay\u201D"),
              "advertised as \u201CDemo Relay\u201D");
    ASSERT_FALSE(resolvedFromB("Demo\\032Relay").empty());

    const TemporaryDirectory computer;
    std::filesystem::create_directories(computer.path() / "run");
    std::filesystem::permissions(computer.path() / "run", std::filesystem::perms::owner_all);
    const auto client = network_->environment(
        Host::b, environmentWith({{"HOME", computer.path().string()},
                                  {"XDG_CONFIG_HOME", (computer.path() / "config").string()},
                                  {"XDG_DATA_HOME", (computer.path() / "data").string()},
                                  {"XDG_RUNTIME_DIR", (computer.path() / "run").string()}}));
    const auto storedAddress = [&] {
        const ProcessOutput list = runProcess({KESTREL_AGENT, "list", "--json"}, client);
        return Json::parse(list.standardOutput).at(0)["address"].get<std::string>();
    };

    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const std::string code = Json::parse(pair.readLine().value())["code"];
    const ProcessOutput paired =
        runProcess(network_->inside(Host::b, {KESTREL_AGENT, "pair", "--relay-name", "Demo Relay",
                                              "--name", "laptop", "--code", code}),
                   client);
    ASSERT_EQ(paired.exitStatus, 0) << paired.standardError;
    EXPECT_NE(paired.standardError.find("\u201CDemo Relay\u201D on "), std::string::npos)
        << paired.standardError;
    EXPECT_EQ(storedAddress(), network_->address(Host::a) + ":" + std::to_string(firstPort));

    const std::string socket = (computer.path() / "run" / "agent.sock").string();
    ChildProcess serve(
        network_->inside(Host::b, {KESTREL_AGENT, "serve", "-D", "--socket", socket}), client);
    ASSERT_TRUE(serve.readLine()) << serve.standardError();
    const auto listKeys = [&] {
        return runProcess({"ssh-add", "-l"}, withVariable(client, "SSH_AUTH_SOCK", socket));
    };
    ASSERT_EQ(listKeys().exitStatus, 0) << serve.standardError();

    relay_->signal(SIGTERM);
    relay_->wait();
    const int secondPort = firstPort == 65535 ? firstPort - 1 : firstPort + 1;
    startRelay("Demo Relay", secondPort);
    ASSERT_FALSE(resolvedFromB("Demo\\032Relay", secondPort).empty());

    const ProcessOutput followed = listKeys();
    EXPECT_EQ(followed.exitStatus, 0) << serve.standardError();
    EXPECT_NE(followed.standardOutput.find("ED25519"), std::string::npos)
        << followed.standardOutput;
    EXPECT_EQ(storedAddress(), network_->address(Host::a) + ":" + std::to_string(secondPort));
    EXPECT_NE(serve.standardError().find("moved from"), std::string::npos) << serve.standardError();
}

}  // namespace
}  // namespace kestrel::testing
