#pragma once

// Two hosts on a link of their own, for DNS-SD tests: network namespaces A and B joined by a
// veth pair, each with a private system bus and, when started, an avahi-daemon that sees only its
// end of the link. Nothing of it touches the machine's own network, buses or /run/avahi-daemon,
// so the real network never hears the tests and tests can run side by side.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace kestrel::testing {

class AvahiNetwork {
public:
    enum class Host { a, b };

    // Why the tests cannot run here (not root, no `ip netns`, no avahi-daemon), or none.
    static std::optional<std::string> unavailableReason();

    // Makes the namespaces, the link and both buses; no daemon runs yet.
    AvahiNetwork();
    // Stops every process it started and deletes the namespaces.
    ~AvahiNetwork();
    AvahiNetwork(const AvahiNetwork&) = delete;
    AvahiNetwork& operator=(const AvahiNetwork&) = delete;

    // Starts the host's avahi-daemon and waits until it serves.
    void startDaemon(Host host);
    // Stops it (SIGTERM, as at a package upgrade) and waits for its exit.
    void stopDaemon(Host host);

    // The arguments that run `arguments` inside the host's namespace.
    std::vector<std::string> inside(Host host, std::vector<std::string> arguments) const;
    // `environment` with the host's system bus, where its programs find avahi-daemon.
    std::vector<std::string> environment(Host host, std::vector<std::string> environment) const;
    std::string address(Host host) const;

    // Runs a program inside the host to its end, with this process's environment and the
    // host's bus.
    ProcessOutput run(Host host, std::vector<std::string> arguments) const;
    // `avahi-browse -rpt TYPE` from the host: its resolved ("=") lines.
    std::vector<std::string> browse(Host host, const std::string& type) const;

private:
    struct Side {
        std::string netns;
        std::string interface;
        std::string address;
        std::filesystem::path bus;
        pid_t busProcess = -1;
        pid_t daemon = -1;
    };
    void tearDown() noexcept;
    Side& side(Host host) { return host == Host::a ? a_ : b_; }
    const Side& side(Host host) const { return host == Host::a ? a_ : b_; }

    TemporaryDirectory directory_;
    Side a_;
    Side b_;
};

}  // namespace kestrel::testing
