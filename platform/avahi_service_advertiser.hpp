#pragma once

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/service_advertiser.hpp"

namespace kestrel {

// DNS-SD through avahi-daemon. Avahi's objects live on its threaded poll; what the relay reads
// (state, description, name) is a copy posted to the relay's executor after every change, so
// the relay never waits for the daemon. The relay serves whether or not a daemon runs: the
// advertisement is made when one appears, made again when it restarts, and renamed with Avahi's
// alternative name when another host or program holds the name.
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
public:
    explicit AvahiServiceAdvertiser(asio::any_io_executor relayExecutor);
    ~AvahiServiceAdvertiser() override;
    AvahiServiceAdvertiser(const AvahiServiceAdvertiser&) = delete;
    AvahiServiceAdvertiser& operator=(const AvahiServiceAdvertiser&) = delete;

    void advertise(const std::string& name, const std::string& type, std::uint16_t port) override;
    void stop() override;
    State state() const override;
    std::string stateDescription() const override;
    std::string advertisedName() const override;

    // What the relay thread last heard from the poll thread.
    struct Snapshot {
        State state = State::unavailable;
        std::string description = "not advertised";
        std::string advertisedName;
    };

private:
    struct Engine;
    std::shared_ptr<Snapshot> snapshot_;  // relay thread only
    std::unique_ptr<Engine> engine_;
};

}  // namespace kestrel
