#pragma once

// What the benchmarks that drive a real relay share: a kestrel-relay process in a temporary home,
// serving a real ssh-agent, with devices paired the way a phone pairs; the relay's memory,
// descriptors and processor time as /proc shows them; and percentiles.

#include <sys/types.h>

#include <asio/ip/address.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/pairing_grant.hpp"
#include "support/child_process.hpp"

namespace kestrel::bench {

class RelayUnderTest {
public:
    // Starts `relayProgram serve --json` with its own HOME, XDG directories and SSH_AUTH_SOCK
    // naming agentSocket, and waits for its first line (the port).
    RelayUnderTest(const std::string& relayProgram, const std::string& agentSocket);
    // Stops the relay.
    ~RelayUnderTest();

    std::uint16_t port() const noexcept { return port_; }
    pid_t pid() const noexcept { return relay_.pid(); }
    const std::filesystem::path& home() const noexcept { return home_.path(); }
    // The relay's environment: run its CLI, and kestrel-agent, with it.
    const std::vector<std::string>& environment() const noexcept { return environment_; }

    // Opens a pairing with `kestrel-relay pair --json` and completes it as a device named name,
    // connecting from source (any 127.0.0.0/8 address: each has its own handshake allowance).
    PairingGrant pairDevice(const std::string& name, const asio::ip::address& source);
    // Opens a pairing and returns its code, for a pairing made by another program.
    std::string openPairing();

private:
    std::string relayProgram_;
    testing::TemporaryDirectory home_;
    std::vector<std::string> environment_;
    testing::ChildProcess relay_;
    std::uint16_t port_ = 0;
    // Reads serve's JSON events (one per sign request) as they come: a full pipe would stop the
    // relay at its next line.
    std::thread drain_;
    std::vector<std::unique_ptr<testing::ChildProcess>> pairings_;
};

struct ProcessUsage {
    long rssKiB = 0;
    long descriptors = 0;
};
ProcessUsage usageOf(pid_t pid);

// The time the process's living threads have spent on a processor so far, in seconds.
double processorSecondsOf(pid_t pid);

// As many descriptors as the hard limit allows, for thousands of connections; the children
// started afterwards inherit it.
void raiseDescriptorLimit();

// The value below which a fraction p of the values fall (0 when there are none).
double percentile(std::vector<double> values, double p);

}  // namespace kestrel::bench
