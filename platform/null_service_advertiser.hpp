#pragma once

#include <cstdint>
#include <string>

#include "platform/service_advertiser.hpp"

namespace kestrel {

// An advertiser that advertises nothing and says so, for relays run where DNS-SD is not wanted
// (tests among them). Clients then reach the relay by host and port.
class NullServiceAdvertiser final : public ServiceAdvertiser {
public:
    void advertise(const std::string& name, const std::string&, std::uint16_t) override {
        name_ = name;
    }
    void stop() override { name_.clear(); }

    State state() const override { return State::unavailable; }
    std::string stateDescription() const override { return "not advertised"; }
    // The requested name, as no collision can rename it; empty when not asked to advertise.
    std::string advertisedName() const override { return name_; }

private:
    std::string name_;
};

}  // namespace kestrel
