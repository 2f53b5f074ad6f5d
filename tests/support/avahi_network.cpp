#include "support/avahi_network.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

bool onPath(const std::string& program) {
    return runProcess({"sh", "-c", "command -v " + program}, environmentWith({})).exitStatus == 0;
}

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

void stopProcess(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    waitForExit(pid);
    pid = -1;
}

// A bus that anyone on it may use for anything: it carries only this test's daemons and programs.
std::string busConfiguration(const std::filesystem::path& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
           socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";
}

// Only the test's end of the link, no unicast DNS, nothing about the machine published.
std::string daemonConfiguration(const std::string& interface, const std::string& hostName) {
    return "[server]\nhost-name=" + hostName +
           "\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" + interface +
           "\nenable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\n"
           "publish-hinfo=no\npublish-workstation=no\npublish-aaaa-on-ipv4=no\n";
}

}  // namespace

std::optional<std::string> AvahiNetwork::unavailableReason() {
    if (::geteuid() != 0) return "network namespaces need root";
    for (const char* program : {"ip", "avahi-daemon", "avahi-browse", "dbus-daemon", "unshare"}) {
        if (!onPath(program)) return std::string(program) + " is not installed";
    }
    return std::nullopt;
}

AvahiNetwork::AvahiNetwork() {
    static std::atomic<int> counter{0};
    const std::string stem =
        "kd" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
    a_ = {stem + "a", stem + "va", "10.200.0.1", directory_.path() / "bus-a"};
    b_ = {stem + "b", stem + "vb", "10.200.0.2", directory_.path() / "bus-b"};
    try {
        runOrThrow({"ip", "netns", "add", a_.netns}, {});
        runOrThrow({"ip", "netns", "add", b_.netns}, {});
        // Made inside the namespaces: the pair never exists on the machine's own side.
        runOrThrow({"ip", "link", "add", a_.interface, "netns", a_.netns, "type", "veth", "peer",
                    "name", b_.interface, "netns", b_.netns},
                   {});
        for (const Side* s : {&a_, &b_}) {
            runOrThrow(
                {"ip", "-n", s->netns, "addr", "add", s->address + "/24", "dev", s->interface}, {});
            runOrThrow({"ip", "-n", s->netns, "link", "set", "lo", "up"}, {});
            runOrThrow({"ip", "-n", s->netns, "link", "set", s->interface, "up"}, {});
        }
        for (Side* s : {&a_, &b_}) {
            const std::filesystem::path config = s->bus.string() + ".conf";
            std::ofstream(config) << busConfiguration(s->bus);
            s->busProcess =
                spawnWithLog({"dbus-daemon", "--nofork", "--config-file=" + config.string()},
                             environmentWith({}), s->bus.string() + ".log");
            if (!waitFor([&] { return std::filesystem::exists(s->bus); }))
                throw std::runtime_error("the test's system bus did not start: " +
                                         readTextFile(s->bus.string() + ".log"));
        }
    } catch (...) {
        tearDown();
        throw;
    }
}

AvahiNetwork::~AvahiNetwork() { tearDown(); }

void AvahiNetwork::tearDown() noexcept {
    for (Side* s : {&a_, &b_}) {
        stopProcess(s->daemon);
        stopProcess(s->busProcess);
    }
    for (const Side* s : {&a_, &b_}) {
        try {
            runProcess({"ip", "netns", "del", s->netns}, {});
        } catch (...) {
        }
    }
}

void AvahiNetwork::startDaemon(Host host) {
    Side& s = side(host);
    if (s.daemon > 0) return;
    const std::filesystem::path config = directory_.path() / (s.netns + "-avahi.conf");
    std::ofstream(config) << daemonConfiguration(s.interface, s.netns);
    const std::filesystem::path log = directory_.path() / (s.netns + "-avahi.log");
    // avahi-daemon keeps its pid file and socket in /run/avahi-daemon: a mount namespace with a
    // fresh tmpfs there lets one daemon run per host. Each exec keeps the process, so the pid is
    // the daemon's.
    s.daemon = spawnWithLog(
        inside(host, {"unshare", "--mount", "--", "sh", "-c",
                      "mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon && "
                      "exec avahi-daemon --no-drop-root --no-chroot --debug -f \"$0\"",
                      config.string()}),
        environment(host, environmentWith({})), log);
    if (!waitFor([&] {
            return readTextFile(log).find("Server startup complete") != std::string::npos;
        })) {
        throw std::runtime_error("avahi-daemon did not start: " + readTextFile(log));
    }
}

void AvahiNetwork::stopDaemon(Host host) { stopProcess(side(host).daemon); }

std::vector<std::string> AvahiNetwork::inside(Host host, std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"ip", "netns", "exec", side(host).netns});
    return arguments;
}

std::vector<std::string> AvahiNetwork::environment(Host host,
                                                   std::vector<std::string> environment) const {
    return withVariable(std::move(environment), "DBUS_SYSTEM_BUS_ADDRESS",
                        "unix:path=" + side(host).bus.string());
}

std::string AvahiNetwork::address(Host host) const { return side(host).address; }

ProcessOutput AvahiNetwork::run(Host host, std::vector<std::string> arguments) const {
    return runProcess(inside(host, std::move(arguments)), environment(host, environmentWith({})));
}

std::vector<std::string> AvahiNetwork::browse(Host host, const std::string& type) const {
    const ProcessOutput output = run(host, {"avahi-browse", "-rpt", type});
    std::vector<std::string> resolved;
    std::size_t start = 0;
    while (start < output.standardOutput.size()) {
        std::size_t end = output.standardOutput.find('\n', start);
        if (end == std::string::npos) end = output.standardOutput.size();
        const std::string line = output.standardOutput.substr(start, end - start);
        if (line.starts_with("=;")) resolved.push_back(line);
        start = end + 1;
    }
    return resolved;
}

}  // namespace kestrel::testing
