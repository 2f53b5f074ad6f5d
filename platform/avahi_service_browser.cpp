#include "platform/avahi_service_browser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>

namespace kestrel {
namespace {

struct Lookup {
    AvahiClient* client = nullptr;
    std::map<std::string, DiscoveredService> found;  // by name
    int pendingResolvers = 0;
    bool allForNow = false;
    std::string failure;
};

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol protocol,
              AvahiResolverEvent event, const char* name, const char*, const char*,
              const char* hostName, const AvahiAddress* address, uint16_t port, AvahiStringList*,
              AvahiLookupResultFlags, void* context) {
    auto& lookup = *static_cast<Lookup*>(context);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, address);
        DiscoveredService service{name, hostName, text, port};
        const auto existing = lookup.found.find(service.name);
        // An IPv6 link-local address would need the interface to reach it; IPv4 needs nothing.
        if (existing == lookup.found.end() || protocol == AVAHI_PROTO_INET)
            lookup.found[service.name] = std::move(service);
    }
    --lookup.pendingResolvers;
    avahi_service_resolver_free(resolver);
}

void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* context) {
    auto& lookup = *static_cast<Lookup*>(context);
    switch (event) {
        case AVAHI_BROWSER_NEW:
            if (avahi_service_resolver_new(lookup.client, interface, protocol, name, type, domain,
                                           AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), resolved,
                                           &lookup) != nullptr)
                ++lookup.pendingResolvers;
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW: lookup.allForNow = true; break;
        case AVAHI_BROWSER_FAILURE:
            lookup.failure = avahi_strerror(avahi_client_errno(lookup.client));
            break;
        case AVAHI_BROWSER_REMOVE:
        case AVAHI_BROWSER_CACHE_EXHAUSTED: break;
    }
}

void clientChanged(AvahiClient*, AvahiClientState, void*) {}

}  // namespace

std::vector<DiscoveredService> browseServices(const std::string& type,
                                              std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    const std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> poll(
        avahi_simple_poll_new(), avahi_simple_poll_free);
    if (!poll) throw std::runtime_error("cannot set up a DNS-SD lookup");
    int error = 0;
    Lookup lookup;
    const std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> client(
        avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), clientChanged,
                         nullptr, &error),
        avahi_client_free);
    if (!client) {
        throw std::runtime_error(
            error == AVAHI_ERR_NO_DAEMON
                ? std::string("avahi-daemon is not running, so relays cannot be looked up by name")
                : std::string("cannot reach avahi-daemon: ") + avahi_strerror(error));
    }
    lookup.client = client.get();
    // Freed with the client.
    if (avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                  nullptr, AvahiLookupFlags(0), browsed, &lookup) == nullptr) {
        throw std::runtime_error(std::string("cannot browse for relays: ") +
                                 avahi_strerror(avahi_client_errno(client.get())));
    }
    while (!(lookup.allForNow && lookup.pendingResolvers == 0) && lookup.failure.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        if (avahi_simple_poll_iterate(poll.get(), static_cast<int>(left.count())) != 0) break;
    }
    if (!lookup.failure.empty())
        throw std::runtime_error("looking up relays failed: " + lookup.failure);
    std::vector<DiscoveredService> services;
    for (auto& [name, service] : lookup.found) services.push_back(std::move(service));
    return services;
}

std::string serviceAddress(const DiscoveredService& service) {
    const bool v6 = service.address.find(':') != std::string::npos;
    return (v6 ? "[" + service.address + "]" : service.address) + ":" +
           std::to_string(service.port);
}

std::string describeService(const DiscoveredService& service) {
    return "\u201C" + service.name + "\u201D on " + service.hostName + " (" +
           serviceAddress(service) + ")";
}

}  // namespace kestrel
