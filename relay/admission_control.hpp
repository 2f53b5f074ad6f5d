#pragma once

// What an unauthenticated connection may cost the relay. Anyone on the network can connect and
// start a handshake, so until a peer has proved it holds a key, the number of such connections
// is capped (in all and per source address) and the X25519 work they cause is rationed per
// source with a token bucket. Relay thread only.

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <map>

namespace kestrel {

class AdmissionControl {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        std::size_t maxUnauthenticated = 64;
        std::size_t maxUnauthenticatedPerAddress = 8;
        // A source may start this many handshakes at once, then this many per second.
        double handshakeBurst = 16;
        double handshakesPerSecond = 4;
    };

    AdmissionControl() : AdmissionControl(Limits{}) {}
    explicit AdmissionControl(Limits limits) : limits_(limits) {}

    // A new connection from address. False when a cap is reached: close it at once. When true,
    // it counts until leave() (on authentication or close, whichever comes first).
    bool admit(const asio::ip::address& address);
    void leave(const asio::ip::address& address);

    // One handshake (one X25519 agreement) for address; false when its bucket is empty.
    bool takeHandshake(const asio::ip::address& address, Clock::time_point now = Clock::now());

    std::size_t unauthenticated() const noexcept { return total_; }

private:
    struct Bucket {
        double tokens;
        Clock::time_point refilledAt;
    };

    void forgetFullBuckets(Clock::time_point now);

    Limits limits_;
    std::size_t total_ = 0;
    std::map<asio::ip::address, std::size_t> perAddress_;
    std::map<asio::ip::address, Bucket> buckets_;
};

}  // namespace kestrel
