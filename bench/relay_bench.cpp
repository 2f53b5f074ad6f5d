// kestrel-relay-bench: how fast and how lean the relay is, measured against the SSH agent it
// serves in the same run. It starts a real ssh-agent with an ed25519, an ECDSA and an RSA key, a
// kestrel-relay on loopback, and load clients that send agent requests as fast as the answers
// come back, each on a connection of its own, along four paths:
//
//   direct agent   the agent's Unix socket
//   socat hop      a plain TCP-to-Unix hop in front of the agent (when socat is installed): what
//                  any network hop costs, for comparison
//   native client  the relay as a phone reaches it: one TCP connection per device, the secure
//                  channel, the relay, then the agent
//   kestrel-agent  the relay as a computer reaches it: kestrel-agent's Unix socket, then as above
//
// The paths take turns within each round, so a machine that slows down mid-run slows all of
// them; ratios to the direct agent are taken within a round, and the table shows medians over
// the rounds. It also measures paired connection setups (preamble and handshake), the relay's
// memory per idle authenticated session, and (from kestrel-micro-bench) the protocol's own costs.
//
// Sign requests through the relay wait 0.2 s for the notice on screen before they reach the
// agent: that wait is part of their figures, and a run with many devices at once shows that the
// waits overlap.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_arguments.hpp"
#include "platform/unique_fd.hpp"
#include "protocol/connection_preamble.hpp"
#include "protocol/relay_envelope.hpp"
#include "protocol/secure_channel.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/relay_connection_io.hpp"
#include "relay_under_test.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::bench;
using Clock = std::chrono::steady_clock;
using detail::UniqueFd;

constexpr const char* usageText =
    "usage: kestrel-relay-bench [--rounds N] [--seconds S] [--setups N] [--idle N]\n"
    "                           [--at-once N] [--micro PATH|none] [--only PART] [--quick]\n"
    "  --rounds N     rounds of the interleaved load (default 3)\n"
    "  --seconds S    seconds per path and round for list-keys load (default 1.5; signs get 2/3)\n"
    "  --setups N     paired connection setups to time (default 2000)\n"
    "  --idle N       idle authenticated sessions for the memory figure (default 1000)\n"
    "  --at-once N    devices signing at once, to show the notice waits overlap (default 64)\n"
    "  --micro PATH   kestrel-micro-bench to run for the protocol's rows (none: skip them)\n"
    "  --only PART    one part alone, e.g. to profile it: sessions, setups, load, at-once, micro\n"
    "  --quick        a short run that checks the program works; its figures mean little\n";

struct Options {
    int rounds = 3;
    double seconds = 1.5;
    int setups = 2000;
    int idle = 1000;
    int atOnce = 64;
    std::string micro = KESTREL_MICRO_BENCH;
    std::optional<std::string> only;
    bool quick = false;

    bool runs(const std::string& part) const { return !only || *only == part; }
};

Options parse(int argc, char** argv) {
    const cli::Arguments arguments = readArguments(argc, argv,
                                                   {{"rounds", true},
                                                    {"seconds", true},
                                                    {"setups", true},
                                                    {"idle", true},
                                                    {"at-once", true},
                                                    {"micro", true},
                                                    {"only", true},
                                                    {"quick", false}},
                                                   usageText);
    Options options;
    if (arguments.has("quick")) {
        options = {1, 0.3, 200, 100, 16, options.micro, std::nullopt, true};
    }
    options.rounds = wholeNumber(arguments, "rounds", options.rounds, 1, 100);
    options.setups = wholeNumber(arguments, "setups", options.setups, 1, 50'000);
    options.idle = wholeNumber(arguments, "idle", options.idle, 1, 50'000);
    options.atOnce = wholeNumber(arguments, "at-once", options.atOnce, 1, 250);
    if (const auto seconds = arguments.value("seconds")) {
        try {
            options.seconds = std::stod(*seconds);
        } catch (const std::exception&) {
            options.seconds = 0;
        }
        if (!(options.seconds >= 0.05 && options.seconds <= 600))
            throw cli::UsageError("--seconds must be a number from 0.05 to 600");
    }
    if (const auto micro = arguments.value("micro")) options.micro = *micro;
    options.only = arguments.value("only");
    static const std::vector<std::string> parts = {"sessions", "setups", "load", "at-once",
                                                   "micro"};
    if (options.only && std::find(parts.begin(), parts.end(), *options.only) == parts.end())
        throw cli::UsageError("--only takes sessions, setups, load, at-once or micro");
    return options;
}

// ---- Blocking stream I/O, as simple clients do it ----

void writeAll(int fd, ByteView bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (written <= 0) throw std::system_error(errno, std::generic_category(), "write");
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

void readExactly(int fd, std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t got = ::read(fd, data, count);
        if (got == 0) throw std::runtime_error("connection closed");
        if (got < 0) throw std::system_error(errno, std::generic_category(), "read");
        data += got;
        count -= static_cast<std::size_t>(got);
    }
}

// A length-prefixed message, without its prefix: the framing of agent messages and of the relay's
// own are the same.
Bytes readFrame(int fd) {
    std::uint8_t header[4];
    readExactly(fd, header, 4);
    const std::size_t length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                               std::size_t{header[2]} << 8 | header[3];
    if (length == 0 || length > 1 << 20) throw std::runtime_error("bad frame length");
    Bytes body(length);
    readExactly(fd, body.data(), length);
    return body;
}

UniqueFd connectUnix(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::system_error(errno, std::generic_category(), "connect " + path);
    return fd;
}

// From source, so that each device has the handshake allowance of an address of its own.
UniqueFd connectTCP(std::uint16_t port, const std::string& source = "127.0.0.1") {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
        throw std::system_error(errno, std::generic_category(), "connect from " + source);
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// 127.B.C.D for a numbered source in block B: every one is a loopback address of its own.
std::string sourceAddress(int block, int index) {
    return "127." + std::to_string(block) + "." + std::to_string(index / 250) + "." +
           std::to_string(1 + index % 250);
}

// ---- The paths a request takes ----

// One load client's connection: a request (a length-prefixed agent message) in, the body of the
// reply out.
class Connection {
public:
    virtual ~Connection() = default;
    virtual Bytes roundTrip(ByteView request) = 0;
};

// An agent's socket, or a hop that passes bytes to one.
class StreamConnection final : public Connection {
public:
    explicit StreamConnection(UniqueFd fd) : fd_(std::move(fd)) {}
    Bytes roundTrip(ByteView request) override {
        writeAll(fd_.get(), request);
        return readFrame(fd_.get());
    }

private:
    UniqueFd fd_;
};

// The agent's socket with a new connection for every request, as the relay makes them: what that
// costs the agent and the kernel, apart from the relay.
class ConnectionPerRequest final : public Connection {
public:
    explicit ConnectionPerRequest(std::string path) : path_(std::move(path)) {}
    Bytes roundTrip(ByteView request) override {
        return StreamConnection(connectUnix(path_)).roundTrip(request);
    }

private:
    std::string path_;
};

// A paired device's connection to the relay, as the phone app keeps one: preamble, handshake,
// then one sealed envelope each way per request.
class DeviceConnection final : public Connection {
public:
    DeviceConnection(std::uint16_t port, const std::string& source, const PairingGrant& grant)
        : fd_(connectTCP(port, source)), channel_(SecureChannel::Role::client, grant.pskData) {
        Bytes opening = framed(
            ConnectionPreamble(ConnectionMode::paired, grant.deviceID, "bench").serialized());
        append(opening, framed(channel_.clientHello()));
        writeAll(fd_.get(), opening);
        writeAll(fd_.get(), framed(channel_.clientReceiveServerHello(readFrame(fd_.get()))));
    }

    Bytes roundTrip(ByteView request) override {
        const RelayEnvelope envelope(RelayMessageType::agentRequest,
                                     Bytes(request.begin(), request.end()), 1);
        writeAll(fd_.get(), framed(channel_.seal(envelope.serialized())));
        const RelayEnvelope reply = RelayEnvelope::deserialize(channel_.open(readFrame(fd_.get())));
        const auto message = SSHAgentProtocol::deframe(reply.payload);
        if (!message) throw std::runtime_error("the relay's reply held no agent message");
        return message->body;
    }

    int descriptor() const noexcept { return fd_.get(); }

private:
    UniqueFd fd_;
    SecureChannel channel_;
};

struct Path {
    std::string name;
    // Opens the connection of load client number `client`.
    std::function<std::unique_ptr<Connection>(int client)> connect;
    bool throughRelay = false;
    pid_t kestrelAgent = 0;  // kestrel-agent's process, on its path
};

// ---- Load ----

struct Workload {
    std::string name;
    Bytes request;
    std::uint8_t expectedReply = 0;
    int clients = 1;
    double seconds = 1;
    std::vector<std::size_t> paths;  // indices into the paths
    bool sign = false;
};

struct Run {
    double opsPerSecond = 0;
    double p50 = 0;  // µs
    double p99 = 0;
    long failures = 0;
    double relayMicroseconds = 0;         // the relay's processor time per request
    double kestrelAgentMicroseconds = 0;  // and kestrel-agent's, on its path
};

// relayPid: the relay, whose processor time is counted when the path goes through it.
Run runLoad(const Path& path, const Workload& workload, pid_t relayPid) {
    std::vector<std::unique_ptr<Connection>> connections;
    for (int client = 0; client < workload.clients; ++client)
        connections.push_back(path.connect(client));
    std::vector<std::vector<double>> latencies(connections.size());
    std::atomic<long> failures = 0;
    std::latch ready(static_cast<std::ptrdiff_t>(connections.size()) + 1);
    std::atomic<bool> go = false;
    Clock::time_point end;
    std::vector<std::thread> threads;
    for (std::size_t client = 0; client < connections.size(); ++client) {
        threads.emplace_back([&, client] {
            std::vector<double>& mine = latencies[client];
            mine.reserve(100'000);
            ready.arrive_and_wait();
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (auto start = Clock::now(); start < end; start = Clock::now()) {
                try {
                    const Bytes reply = connections[client]->roundTrip(workload.request);
                    if (reply.front() != workload.expectedReply) ++failures;
                } catch (const std::exception&) {
                    ++failures;
                    return;
                }
                mine.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
        });
    }
    ready.arrive_and_wait();
    const double relayBefore = processorSecondsOf(relayPid);
    const double kestrelAgentBefore = path.kestrelAgent ? processorSecondsOf(path.kestrelAgent) : 0;
    const auto start = Clock::now();
    end = start + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(workload.seconds));
    go.store(true, std::memory_order_release);
    for (std::thread& thread : threads) thread.join();
    // The last requests end after `end`: the rate counts the time they took.
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double relayTime = processorSecondsOf(relayPid) - relayBefore;
    const double kestrelAgentTime =
        path.kestrelAgent ? processorSecondsOf(path.kestrelAgent) - kestrelAgentBefore : 0;
    std::vector<double> all;
    for (const auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
    const double count = static_cast<double>(std::max<std::size_t>(all.size(), 1));
    return {static_cast<double>(all.size()) / elapsed,
            percentile(all, 0.5),
            percentile(all, 0.99),
            failures.load(),
            path.throughRelay ? relayTime * 1e6 / count : 0,
            kestrelAgentTime * 1e6 / count};
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

// ---- Output ----

std::string grouped(double value) {
    const long rounded = std::lround(value);
    const std::string digits = std::to_string(std::labs(rounded));
    std::string text = rounded < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void row(const std::string& what, const std::string& path, const std::string& rate,
         const std::string& p50, const std::string& p99, const std::string& ratio = "",
         const std::string& added = "", const std::string& relayTime = "",
         const std::string& kestrelAgentTime = "") {
    std::printf("%-34s %-20s %9s %9s %9s %8s %9s %9s %10s\n", what.c_str(), path.c_str(),
                rate.c_str(), p50.c_str(), p99.c_str(), ratio.c_str(), added.c_str(),
                relayTime.c_str(), kestrelAgentTime.c_str());
}

void section(const std::string& title) { std::printf("\n%s\n", title.c_str()); }

// ---- The parts of the run ----

struct Keys {
    Bytes ed25519, ecdsa, rsa;
};

Keys keysOf(const std::string& agentSocket) {
    StreamConnection agent(connectUnix(agentSocket));
    Keys keys;
    for (const SSHAgentIdentity& identity : SSHAgentProtocol::decodeIdentitiesAnswer(
             agent.roundTrip(SSHAgentProtocol::encodeRequestIdentities()))) {
        const std::string algorithm = identity.algorithmName().value_or("");
        if (algorithm == "ssh-ed25519") keys.ed25519 = identity.keyBlob;
        if (algorithm.rfind("ecdsa-", 0) == 0) keys.ecdsa = identity.keyBlob;
        if (algorithm == "ssh-rsa") keys.rsa = identity.keyBlob;
    }
    if (keys.ed25519.empty() || keys.ecdsa.empty() || keys.rsa.empty())
        throw std::runtime_error("the agent does not hold the three keys");
    return keys;
}

std::optional<std::string> programOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= directories.size();) {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::string candidate = directories.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

// Waits until something accepts connections at path.
template <typename Connect>
void waitUntilAccepting(Connect connect, const std::string& what) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        try {
            connect();
            return;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    throw std::runtime_error(what + " did not start");
}

std::uint16_t freePort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    socklen_t length = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::system_error(errno, std::generic_category(), "bind");
    return ntohs(address.sin_port);
}

// The interleaved load: every workload on each of its paths, once per round.
// Returns how many requests failed.
long measureLoad(const Options& options, const std::vector<Path>& paths,
                 const std::vector<Workload>& workloads, pid_t relayPid) {
    // results[workload][path][round]
    std::vector<std::map<std::size_t, std::vector<Run>>> results(workloads.size());
    for (int round = 0; round < options.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d…\n", round + 1, options.rounds);
        for (std::size_t w = 0; w < workloads.size(); ++w) {
            std::vector<std::size_t> order = workloads[w].paths;
            std::rotate(order.begin(), order.begin() + round % static_cast<int>(order.size()),
                        order.end());
            for (const std::size_t p : order)
                results[w][p].push_back(runLoad(paths[p], workloads[w], relayPid));
        }
    }
    section("Round trips, each client on a connection of its own (medians of " +
            std::to_string(options.rounds) + " interleaved rounds)");
    row("request", "path", "ops/s", "p50 µs", "p99 µs", "×direct", "+p50 µs", "relay µs",
        "k-agent µs");
    long totalFailures = 0;
    for (std::size_t w = 0; w < workloads.size(); ++w) {
        const std::vector<Run>& direct = results[w][workloads[w].paths.front()];
        bool first = true;
        for (const std::size_t p : workloads[w].paths) {
            const std::vector<Run>& runs = results[w][p];
            std::vector<double> rates, p50s, p99s, ratios, added, relayTimes, kestrelAgentTimes;
            long failures = 0;
            for (std::size_t r = 0; r < runs.size(); ++r) {
                rates.push_back(runs[r].opsPerSecond);
                p50s.push_back(runs[r].p50);
                p99s.push_back(runs[r].p99);
                ratios.push_back(runs[r].opsPerSecond / direct[r].opsPerSecond);
                // The notice's wait is by design: what the relay adds is shown without it.
                const double notice = workloads[w].sign && paths[p].throughRelay ? 200'000 : 0;
                added.push_back(runs[r].p50 - direct[r].p50 - notice);
                failures += runs[r].failures;
                relayTimes.push_back(runs[r].relayMicroseconds);
                kestrelAgentTimes.push_back(runs[r].kestrelAgentMicroseconds);
            }
            const bool isDirect = p == workloads[w].paths.front();
            row(first ? workloads[w].name : "", paths[p].name + (failures > 0 ? " !" : ""),
                workloads[w].sign ? fixed(median(rates), 1) : grouped(median(rates)),
                grouped(median(p50s)), grouped(median(p99s)),
                // A sign through the relay is slower by the notice's wait by design: no ratio.
                isDirect                                     ? "1"
                : workloads[w].sign && paths[p].throughRelay ? "—"
                                                             : fixed(median(ratios), 2),
                isDirect ? ""
                         : grouped(median(added)) +
                               (workloads[w].sign && paths[p].throughRelay ? "*" : ""),
                paths[p].throughRelay ? grouped(median(relayTimes)) : "",
                paths[p].kestrelAgent ? grouped(median(kestrelAgentTimes)) : "");
            if (failures > 0) std::printf("%34s %ld requests failed\n", "", failures);
            totalFailures += failures;
            first = false;
        }
    }
    std::printf(
        "* less the 0.2 s that a sign request through the relay waits for the notice on "
        "screen\nrelay µs, k-agent µs: the processor time of the relay and of kestrel-agent per "
        "request\n");
    return totalFailures;
}

// Many devices sign at once: their notice waits overlap, so the rate grows with the devices.
// Returns how many requests failed.
long measureOverlap(const Options& options, const Path& native, const Bytes& request,
                    pid_t relayPid) {
    section("Devices signing at once (ed25519, through the relay, each with the 0.2 s notice)");
    row("devices", "path", "signs/s", "p50 ms", "p99 ms");
    long failures = 0;
    for (const int devices : {1, options.atOnce}) {
        const Workload workload{"", request, 14, devices, std::max(1.0, options.seconds), {}, true};
        const Run run = runLoad(native, workload, relayPid);
        row(std::to_string(devices), native.name, fixed(run.opsPerSecond, 1),
            fixed(run.p50 / 1000, 1), fixed(run.p99 / 1000, 1));
        failures += run.failures;
    }
    return failures;
}

// Paired connection setups: preamble and handshake, each from an address of its own so that
// the per-address handshake allowance is never what is measured. Returns how many failed.
long measureSetups(const Options& options, RelayUnderTest& relay, const PairingGrant& grant) {
    constexpr int threadCount = 8;
    std::vector<std::vector<double>> latencies(threadCount);
    std::atomic<int> failures = 0;
    std::atomic<int> next = 0;
    const double cpuBefore = processorSecondsOf(relay.pid());
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = next++; i < options.setups; i = next++) {
                const auto begun = Clock::now();
                try {
                    DeviceConnection device(relay.port(),
                                            sourceAddress(20 + i / 50'000, i % 50'000), grant);
                    // Nothing more to send: the relay closes once it has checked the confirm.
                    ::shutdown(device.descriptor(), SHUT_WR);
                    std::uint8_t byte;
                    if (::read(device.descriptor(), &byte, 1) != 0) {
                        ++failures;
                        continue;
                    }
                } catch (const std::exception&) {
                    ++failures;
                    continue;
                }
                latencies[static_cast<std::size_t>(t)].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = processorSecondsOf(relay.pid()) - cpuBefore;
    std::vector<double> all;
    for (const auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
    section("Paired connection setups (preamble, X25519 handshake, confirm; 8 at a time)");
    std::printf(
        "%s setups in %.2f s: %s/s, p50 %s µs, p99 %s µs; relay processor time %s µs per "
        "setup (%s/s on one core)%s\n",
        grouped(static_cast<double>(all.size())).c_str(), elapsed,
        grouped(static_cast<double>(all.size()) / elapsed).c_str(),
        grouped(percentile(all, 0.5)).c_str(), grouped(percentile(all, 0.99)).c_str(),
        grouped(cpu * 1e6 / options.setups).c_str(), grouped(options.setups / cpu).c_str(),
        failures > 0 ? (", " + std::to_string(failures.load()) + " failed").c_str() : "");
    return failures.load();
}

// The relay's memory with idle authenticated sessions, against none.
void measureIdleSessions(const Options& options, RelayUnderTest& relay, const PairingGrant& grant) {
    const ProcessUsage before = usageOf(relay.pid());
    std::vector<std::unique_ptr<DeviceConnection>> sessions;
    for (int i = 0; i < options.idle; ++i) {
        // One request each, so that every session is known to be authenticated.
        auto session =
            std::make_unique<DeviceConnection>(relay.port(), sourceAddress(10, i / 10), grant);
        session->roundTrip(SSHAgentProtocol::encodeRequestIdentities());
        sessions.push_back(std::move(session));
    }
    const ProcessUsage after = usageOf(relay.pid());
    section("Idle authenticated sessions");
    std::printf(
        "%d sessions: relay RSS %s KiB, against %s KiB with none: %s bytes per session "
        "(socket buffers are the kernel's and not counted)\n",
        options.idle, grouped(static_cast<double>(after.rssKiB)).c_str(),
        grouped(static_cast<double>(before.rssKiB)).c_str(),
        grouped(static_cast<double>(after.rssKiB - before.rssKiB) * 1024 / options.idle).c_str());
}

// The protocol's own costs, from kestrel-micro-bench's JSON.
void measureProtocol(const Options& options) {
    if (options.micro == "none") return;
    const testing::ProcessOutput output = testing::runOrThrow(
        {options.micro, "--benchmark_format=json",
         options.quick ? "--benchmark_min_time=0.01" : "--benchmark_min_time=0.2"},
        testing::environmentWith({}));
    const auto report = nlohmann::json::parse(output.standardOutput);
    section("The protocol's own costs, on one core (kestrel-micro-bench)");
    std::printf("%-34s %12s %14s\n", "operation", "time", "throughput");
    for (const auto& benchmark : report["benchmarks"]) {
        const double nanoseconds = benchmark["real_time"].get<double>();
        std::string throughput;
        if (benchmark.contains("bytes_per_second"))
            throughput =
                fixed(benchmark["bytes_per_second"].get<double>() / (1 << 20), 0) + " MiB/s";
        std::printf("%-34s %12s %14s\n", benchmark["name"].get<std::string>().c_str(),
                    (nanoseconds >= 10'000 ? fixed(nanoseconds / 1000, 1) + " µs"
                                           : fixed(nanoseconds, 0) + " ns")
                        .c_str(),
                    throughput.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) try {
    const Options options = parse(argc, argv);
    raiseDescriptorLimit();
    std::fprintf(stderr, "starting an ssh-agent with three keys and a relay…\n");
    const testing::SSHAgentFixture agent(testing::SSHAgentFixture::allKeyTypes());
    RelayUnderTest relay(KESTREL_RELAY, agent.socketPath());
    const Keys keys = keysOf(agent.socketPath());

    const int devices = std::max(8, options.atOnce);
    std::fprintf(stderr, "pairing %d devices…\n", devices);
    std::vector<PairingGrant> grants;
    for (int i = 0; i < devices; ++i) {
        grants.push_back(relay.pairDevice("device " + std::to_string(i + 1),
                                          asio::ip::make_address(sourceAddress(2, i))));
    }

    // kestrel-agent, paired like a computer, serving its own socket.
    const std::string agentCode = relay.openPairing();
    testing::runOrThrow(
        {KESTREL_AGENT, "pair", "--relay", "127.0.0.1:" + std::to_string(relay.port()), "--code",
         agentCode, "--name", "bench computer"},
        relay.environment());
    const std::string kestrelAgentSocket = (relay.home() / "kestrel-agent.sock").string();
    testing::ChildProcess kestrelAgent(
        {KESTREL_AGENT, "serve", "-D", "--socket", kestrelAgentSocket}, relay.environment());
    waitUntilAccepting([&] { connectUnix(kestrelAgentSocket); }, "kestrel-agent serve");

    std::optional<testing::ChildProcess> socat;
    std::uint16_t socatPort = 0;
    if (const auto program = programOnPath("socat")) {
        socatPort = freePort();
        socat.emplace(std::vector<std::string>{*program,
                                               "TCP-LISTEN:" + std::to_string(socatPort) +
                                                   ",bind=127.0.0.1,reuseaddr,fork",
                                               "UNIX-CONNECT:" + agent.socketPath()},
                      relay.environment());
        waitUntilAccepting([&] { connectTCP(socatPort); }, "socat");
    } else {
        std::fprintf(stderr, "socat is not installed: no socat row\n");
    }

    std::vector<Path> paths;
    paths.push_back(
        {"direct agent",
         [&](int) { return std::make_unique<StreamConnection>(connectUnix(agent.socketPath())); },
         false});
    paths.push_back(
        {"direct, connect each",
         [&](int) { return std::make_unique<ConnectionPerRequest>(agent.socketPath()); }, false});
    if (socat) {
        paths.push_back(
            {"socat hop",
             [&](int) { return std::make_unique<StreamConnection>(connectTCP(socatPort)); },
             false});
    }
    paths.push_back({"native client",
                     [&](int client) {
                         return std::make_unique<DeviceConnection>(
                             relay.port(), sourceAddress(2, client),
                             grants[static_cast<std::size_t>(client)]);
                     },
                     true});
    paths.push_back(
        {"kestrel-agent",
         [&](int) { return std::make_unique<StreamConnection>(connectUnix(kestrelAgentSocket)); },
         true, kestrelAgent.pid()});
    const std::size_t native = socat ? 3 : 2;
    std::vector<std::size_t> everyPath(paths.size());
    for (std::size_t p = 0; p < paths.size(); ++p) everyPath[p] = p;
    // Signing is the agent's work; a new connection each time changes nothing there worth a row.
    std::vector<std::size_t> signPaths = everyPath;
    signPaths.erase(signPaths.begin() + 1);

    // 32 bytes, as a login's session hash.
    const Bytes data(32, 0x5a);
    const auto sign = [&](const Bytes& key, SSHAgentSignFlags flags) {
        return SSHAgentProtocol::encodeSignRequest(key, data, flags);
    };
    const double signSeconds = std::max(options.seconds * 2 / 3, 0.25);
    const std::vector<Workload> workloads = {
        {"list keys, 1 client", SSHAgentProtocol::encodeRequestIdentities(), 12, 1, options.seconds,
         everyPath, false},
        {"list keys, 8 clients", SSHAgentProtocol::encodeRequestIdentities(), 12, 8,
         options.seconds, everyPath, false},
        {"sign ed25519, 1 client", sign(keys.ed25519, {}), 14, 1, signSeconds, signPaths, true},
        {"sign ed25519, 8 clients", sign(keys.ed25519, {}), 14, 8, signSeconds, signPaths, true},
        {"sign ECDSA P-256, 1 client", sign(keys.ecdsa, {}), 14, 1, signSeconds, {0, native}, true},
        {"sign RSA-3072 (SHA-256), 1 client",
         sign(keys.rsa, SSHAgentSignFlags::rsaSha2_256),
         14,
         1,
         signSeconds,
         {0, native},
         true},
    };

    // Sessions first, while the relay's heap holds only what starting and pairing left in it.
    std::printf(
        "kestrel-relay-bench: %u processors; %d round%s of %.2f s per path (signs %.2f s)\n",
        std::thread::hardware_concurrency(), options.rounds, options.rounds == 1 ? "" : "s",
        options.seconds, signSeconds);
    long failures = 0;
    if (options.runs("sessions")) {
        std::fprintf(stderr, "opening %d idle sessions…\n", options.idle);
        measureIdleSessions(options, relay, grants.front());
    }
    if (options.runs("setups")) {
        std::fprintf(stderr, "timing %d setups…\n", options.setups);
        failures += measureSetups(options, relay, grants.front());
    }
    if (options.runs("load")) failures += measureLoad(options, paths, workloads, relay.pid());
    if (options.runs("at-once")) {
        std::fprintf(stderr, "signing from %d devices at once…\n", options.atOnce);
        failures += measureOverlap(options, paths[native], workloads[2].request, relay.pid());
    }
    if (options.runs("micro")) measureProtocol(options);
    if (failures > 0) {
        std::fprintf(stderr, "kestrel-relay-bench: %ld requests or setups failed\n", failures);
        return 1;
    }
    return 0;
} catch (const kestrel::cli::UsageError& error) {
    std::fprintf(stderr, "kestrel-relay-bench: %s\n", error.what());
    return 2;
} catch (const std::exception& error) {
    std::fprintf(stderr, "kestrel-relay-bench: %s\n", error.what());
    return 1;
}
