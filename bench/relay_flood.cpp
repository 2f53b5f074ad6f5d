// A bounded flood of unauthenticated connections against a running kestrel-relay, while a paired
// device opens a new connection for every request, as kestrel-agent does for every ssh client.
// Prints how many of those connections were served and how fast, why any failed, and the
// relay's memory and descriptors before, during and after.
//
//   relay_flood [--idle N] [--stalled N] [--bad-per-second N] [--sources N] [--seconds S]
//               [--check]
//
// Defaults: 2,000 idle connections, 1,000 stalled after a 524,288-byte frame header, bad
// handshakes at 50 per second for 30 s, from 8 attacker addresses (127.0.0.2-127.0.0.9), so that
// the relay's per-source cap (8) and total cap (64) are both met again and again. The device
// connects from 127.0.0.1 every 300 ms, within the handshakes the relay allows one source (4 per
// second), first 10 times before the flood for comparison. Everything stays on this machine's
// loopback. --check exits 1 unless every connection of the device during the flood was served
// and the relay's descriptors came back down.

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_arguments.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/relay_client.hpp"
#include "relay_under_test.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::testing;
using namespace kestrel::bench;
using Clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;

struct Options {
    int idle = 2000;
    int stalled = 1000;
    int badPerSecond = 50;
    int sources = 8;
    int seconds = 30;
    bool check = false;
};

constexpr const char* usageText =
    "usage: relay_flood [--idle N] [--stalled N] [--bad-per-second N] [--sources N] "
    "[--seconds S] [--check]\n"
    "  --sources N   attacker addresses, 127.0.0.2 onwards (1 to 253; default 8)\n";

constexpr auto probeInterval = std::chrono::milliseconds(300);
constexpr int quietProbes = 10;

Options parse(int argc, char** argv) {
    const kestrel::cli::Arguments arguments = readArguments(argc, argv,
                                                            {{"idle", true},
                                                             {"stalled", true},
                                                             {"bad-per-second", true},
                                                             {"sources", true},
                                                             {"seconds", true},
                                                             {"check", false}},
                                                            usageText);
    Options options;
    options.idle = wholeNumber(arguments, "idle", options.idle, 0, 1'000'000);
    options.stalled = wholeNumber(arguments, "stalled", options.stalled, 0, 1'000'000);
    options.badPerSecond =
        wholeNumber(arguments, "bad-per-second", options.badPerSecond, 0, 1'000'000);
    options.sources = wholeNumber(arguments, "sources", options.sources, 1, 253);
    options.seconds = wholeNumber(arguments, "seconds", options.seconds, 1, 86'400);
    options.check = arguments.has("check");
    return options;
}

// The attacker's connections, spread over many loopback source addresses.
class Attacker {
public:
    Attacker(asio::io_context& io, std::uint16_t port, int sources)
        : io_(io), port_(port), sources_(sources) {}

    asio::awaitable<void> open(Bytes firstBytes) {
        tcp::socket socket(io_);
        const auto source =
            asio::ip::make_address_v4("127.0.0." + std::to_string(2 + next_++ % sources_));
        std::error_code error;
        socket.open(tcp::v4(), error);
        if (!error) socket.bind({source, 0}, error);
        if (!error) {
            co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port_},
                                          asio::redirect_error(asio::use_awaitable, error));
        }
        if (!error && !firstBytes.empty()) {
            co_await asio::async_write(socket, asio::buffer(firstBytes),
                                       asio::redirect_error(asio::use_awaitable, error));
        }
        if (!error)
            sockets_.push_back(std::move(socket));
        else
            ++failed_;
    }

    void closeAll() { sockets_.clear(); }
    std::size_t held() const { return sockets_.size(); }
    int failed() const { return failed_; }

private:
    asio::io_context& io_;
    std::uint16_t port_;
    int sources_;
    std::vector<tcp::socket> sockets_;
    int next_ = 0;
    int failed_ = 0;
};

Bytes badHandshake(int i) {
    // Unknown devices, garbage preambles and pairing attempts while no code is open.
    switch (i % 3) {
        case 0:
            return framed(
                ConnectionPreamble(ConnectionMode::paired, UUID::random(), "x").serialized());
        case 1: return framed(toBytes("{\"v\":"));
        default: {
            Bytes bytes =
                framed(ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "x").serialized());
            append(bytes, framed(Bytes(48, 9)));
            return bytes;
        }
    }
}

// The device's new connections: how many were served, how long each took from connecting to
// the reply, and why the others failed.
struct Probes {
    int opened = 0;
    std::vector<double> latenciesMs;
    std::map<std::string, int> failures;

    void print(const char* when) const {
        std::printf(
            "device %s: %zu of %d new connections served; connect to reply p50 %.2f ms, "
            "p99 %.2f ms, max %.2f ms\n",
            when, latenciesMs.size(), opened, percentile(latenciesMs, 0.5),
            percentile(latenciesMs, 0.99), percentile(latenciesMs, 1.0));
        for (const auto& [reason, count] : failures)
            std::printf("  %d failed: %s\n", count, reason.c_str());
    }
    bool allServed() const { return opened > 0 && static_cast<int>(latenciesMs.size()) == opened; }
};

}  // namespace

int main(int argc, char** argv) try {
    const Options options = parse(argc, argv);
    raiseDescriptorLimit();
    const SSHAgentFixture agent;
    RelayUnderTest relay(KESTREL_RELAY, agent.socketPath());
    const auto port = relay.port();
    const PairingGrant grant = relay.pairDevice("Probe", asio::ip::make_address("127.0.0.1"));

    asio::io_context io;
    const auto connect = [&]() -> asio::awaitable<tcp::socket> {
        tcp::socket socket(io);
        co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port},
                                      asio::use_awaitable);
        // As kestrel-agent does: otherwise the client hello waits for the preamble's delayed ACK.
        socket.set_option(tcp::no_delay(true));
        co_return socket;
    };

    // One request on a new connection, as kestrel-agent makes for each ssh client.
    const auto request = [&]() -> asio::awaitable<void> {
        RelayClient device = co_await RelayClient::open(
            co_await connect(), ConnectionPreamble(ConnectionMode::paired, grant.deviceID, "Probe"),
            grant.pskData);
        const Bytes answer =
            co_await device.agentRequest(SSHAgentProtocol::encodeRequestIdentities());
        device.close();
        if (SSHAgentProtocol::decodeIdentitiesAnswer(SSHAgentProtocol::deframe(answer)->body)
                .empty()) {
            throw std::runtime_error("the agent's keys did not come back");
        }
    };
    ProcessUsage peak{};
    const auto probe = [&](Probes& probes) -> asio::awaitable<void> {
        ++probes.opened;
        const auto start = Clock::now();
        std::string failure;
        try {
            co_await request();
            probes.latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        } catch (const std::system_error& error) {
            failure = error.code().message();
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!failure.empty()) ++probes.failures[failure];
        const ProcessUsage now = usageOf(relay.pid());
        peak.rssKiB = std::max(peak.rssKiB, now.rssKiB);
        peak.descriptors = std::max(peak.descriptors, now.descriptors);
        asio::steady_timer pause(io, probeInterval);
        co_await pause.async_wait(asio::use_awaitable);
    };

    Probes quiet;
    const auto probeQuietly = [&]() -> asio::awaitable<void> {
        for (int i = 0; i < quietProbes; ++i) co_await probe(quiet);
    };
    asio::co_spawn(io, probeQuietly(), asio::detached);
    io.restart();
    io.run();

    const ProcessUsage baseline = usageOf(relay.pid());
    peak = baseline;
    Probes flooded;
    Attacker attacker(io, port, options.sources);
    const auto floodEnd = Clock::now() + std::chrono::seconds(options.seconds);
    const auto probeDuringFlood = [&]() -> asio::awaitable<void> {
        while (Clock::now() < floodEnd) co_await probe(flooded);
    };
    const auto flood = [&]() -> asio::awaitable<void> {
        for (int i = 0; i < options.idle; ++i) co_await attacker.open(Bytes());
        // A named buffer: GCC 12 cannot build a braced temporary inside a coroutine.
        Bytes header(4, 0);
        header[1] = 8;  // 0x00080000: 524,288 bytes announced, none sent
        for (int i = 0; i < options.stalled; ++i) co_await attacker.open(header);
        asio::steady_timer timer(io);
        for (int i = 0; Clock::now() < floodEnd; ++i) {
            co_await attacker.open(badHandshake(i));
            timer.expires_after(
                std::chrono::microseconds(1'000'000 / std::max(1, options.badPerSecond)));
            co_await timer.async_wait(asio::use_awaitable);
        }
    };
    asio::co_spawn(io, probeDuringFlood(), asio::detached);
    asio::co_spawn(io, flood(), asio::detached);
    io.restart();
    io.run();

    attacker.closeAll();
    const auto closed = Clock::now();
    ProcessUsage after = usageOf(relay.pid());
    while (after.descriptors > baseline.descriptors &&
           Clock::now() - closed < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = usageOf(relay.pid());
    }
    const double recoverySeconds = std::chrono::duration<double>(Clock::now() - closed).count();

    std::printf(
        "flood: %d idle, %d stalled at a 524288-byte header, bad handshakes %d/s for %d s, from "
        "%d addresses (%d attacker connections failed to open)\n",
        options.idle, options.stalled, options.badPerSecond, options.seconds, options.sources,
        attacker.failed());
    quiet.print("before the flood");
    flooded.print("during the flood");
    std::printf(
        "relay: RSS %ld KiB before, %ld KiB peak, %ld KiB after; descriptors %ld before, "
        "%ld peak, %ld after (%.2f s to return)\n",
        baseline.rssKiB, peak.rssKiB, after.rssKiB, baseline.descriptors, peak.descriptors,
        after.descriptors, recoverySeconds);
    return options.check && (!flooded.allServed() || after.descriptors > baseline.descriptors) ? 1
                                                                                               : 0;
} catch (const kestrel::cli::UsageError& error) {
    std::fprintf(stderr, "relay_flood: %s\n", error.what());
    return 2;
} catch (const std::exception& error) {
    std::fprintf(stderr, "relay_flood: %s\n", error.what());
    return 1;
}
