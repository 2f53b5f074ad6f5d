#pragma once

// Looking up relays by DNS-SD through avahi-daemon, for the client program: a one-shot browse
// that waits for the daemon's "all for now" and resolves what it found.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

struct DiscoveredService {
    std::string name;      // the instance name, as advertised
    std::string hostName;  // e.g. "desk.local"
    std::string address;   // numeric, IPv4 or IPv6
    std::uint16_t port = 0;

    friend bool operator==(const DiscoveredService&, const DiscoveredService&) = default;
};

// Every service of the type in the default domain, each name once (an IPv4 address preferred),
// sorted by name. Waits until the daemon has answered from its cache and the network (usually
// about a second), never longer than limit. Throws std::runtime_error with one line when
// avahi-daemon cannot be reached.
std::vector<DiscoveredService> browseServices(const std::string& type,
                                              std::chrono::milliseconds limit);

// Where to connect: "192.0.2.7:4000", or "[fe80::1]:4000" for IPv6.
std::string serviceAddress(const DiscoveredService& service);

// The one line for a service in a list: “Desk” on desk.local (192.0.2.7:4000)
std::string describeService(const DiscoveredService& service);

}  // namespace kestrel
