#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

// DNS-SD advertisement of the relay's port.
class ServiceAdvertiser {
public:
    enum class State { unavailable, registering, advertised, failed };

    virtual ~ServiceAdvertiser() = default;

    // Starts (or restarts) advertising `name` of `type` on `port`. Never throws: problems show in
    // state() and stateDescription().
    virtual void advertise(const std::string& name, const std::string& type,
                           std::uint16_t port) = 0;
    virtual void stop() = 0;

    virtual State state() const = 0;
    // One line for status output, e.g. "not advertised: DNS-SD is not available in this build".
    virtual std::string stateDescription() const = 0;
    // The name actually registered (it may differ after a collision).
    virtual std::string advertisedName() const = 0;
};

}  // namespace kestrel
