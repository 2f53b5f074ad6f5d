#include "relay_under_test.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "protocol/pairing.hpp"
#include "relay/relay_client.hpp"

namespace kestrel::bench {
namespace {

using tcp = asio::ip::tcp;

std::vector<std::string> relayEnvironment(const std::filesystem::path& home,
                                          const std::string& agentSocket) {
    std::filesystem::create_directories(home / "run");
    std::filesystem::permissions(home / "run", std::filesystem::perms::owner_all);
    return testing::environmentWith({{"HOME", home.string()},
                                     {"XDG_CONFIG_HOME", (home / "config").string()},
                                     {"XDG_DATA_HOME", (home / "data").string()},
                                     {"XDG_RUNTIME_DIR", (home / "run").string()},
                                     {"SSH_AUTH_SOCK", agentSocket}});
}

// Optional only because a future's value must be default-constructible.
asio::awaitable<std::optional<PairingGrant>> pairAs(std::string name, std::string code,
                                                    asio::ip::address source, std::uint16_t port) {
    tcp::socket socket(co_await asio::this_coro::executor);
    socket.open(source.is_v4() ? tcp::v4() : tcp::v6());
    socket.bind({source, 0});
    co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port}, asio::use_awaitable);
    socket.set_option(tcp::no_delay(true));
    RelayClient pairing = co_await RelayClient::open(
        std::move(socket), ConnectionPreamble(ConnectionMode::pairing, std::nullopt, name),
        Pairing::bootstrapPSK(code));
    co_return co_await pairing.receivePairingGrant();
}

}  // namespace

RelayUnderTest::RelayUnderTest(const std::string& relayProgram, const std::string& agentSocket)
    : relayProgram_(relayProgram),
      environment_(relayEnvironment(home_.path(), agentSocket)),
      relay_({relayProgram, "serve", "--json"}, environment_) {
    const std::optional<std::string> started = relay_.readLine();
    if (!started) throw std::runtime_error("the relay did not start: " + relay_.standardError());
    port_ = nlohmann::json::parse(*started)["port"].get<std::uint16_t>();
    drain_ = std::thread([this] {
        while (relay_.readLine(std::chrono::hours(24))) {
        }
    });
}

RelayUnderTest::~RelayUnderTest() {
    relay_.signal(SIGTERM);
    relay_.wait();
    drain_.join();
}

std::string RelayUnderTest::openPairing() {
    // Each pair process waits until its pairing ends; kept until the relay goes.
    auto pair = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{relayProgram_, "pair", "--json"}, environment_);
    const std::optional<std::string> line = pair->readLine();
    if (!line) throw std::runtime_error("kestrel-relay pair printed no code");
    pairings_.push_back(std::move(pair));
    return nlohmann::json::parse(*line)["code"].get<std::string>();
}

PairingGrant RelayUnderTest::pairDevice(const std::string& name, const asio::ip::address& source) {
    const std::string code = openPairing();
    asio::io_context io;
    auto grant = asio::co_spawn(io, pairAs(name, code, source, port_), asio::use_future);
    io.run();
    PairingGrant paired = grant.get().value();
    pairings_.back()->wait();
    pairings_.pop_back();
    return paired;
}

ProcessUsage usageOf(pid_t pid) {
    ProcessUsage usage;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) usage.rssKiB = std::atol(line.c_str() + 6);
    }
    std::error_code ignored;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        ++usage.descriptors;
    }
    return usage;
}

double processorSecondsOf(pid_t pid) {
    // schedstat counts nanoseconds on a processor per thread; /proc/PID/stat only clock ticks,
    // too coarse for a few thousand handshakes.
    double seconds = 0;
    std::error_code ignored;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long nanoseconds = 0;
        if (schedstat >> nanoseconds) seconds += static_cast<double>(nanoseconds) / 1e9;
    }
    return seconds;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace kestrel::bench
