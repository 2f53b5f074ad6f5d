#pragma once

// What an unauthenticated connection may cost the relay. Anyone on the network can connect and
// start a handshake, so until a peer has proved it holds a key, the number of such connections
// is capped (in all and per source) and the X25519 work they cause is rationed per source with
// a token bucket. Relay thread only.
//
// A full cap never turns a new connection away: idle connections are free to hold open, so a
// refusal would let whoever holds them lock every paired device out. Instead an older
// unauthenticated connection makes room, taken from whichever source holds the most, so a
// device that connects from an address of its own is the last to go. Knows nothing of sockets:
// it names the sessions to close and the listener closes them.

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace kestrel {

class AdmissionControl {
public:
    using Clock = std::chrono::steady_clock;
    // The caller's name for one connection, unique for the life of this object.
    using SessionID = std::uint64_t;

    // Caps below 1 count as 1: the new connection itself always needs a place.
    struct Limits {
        std::size_t maxUnauthenticated = 64;
        std::size_t maxUnauthenticatedPerSource = 8;
        // A source may start this many handshakes at once, then this many per second.
        double handshakeBurst = 16;
        double handshakesPerSecond = 4;
    };

    AdmissionControl() : AdmissionControl(Limits{}) {}
    explicit AdmissionControl(Limits limits);

    // What one party controls, as far as the relay can tell: an IPv4 address, also when it
    // arrives IPv4-mapped (::ffff:a.b.c.d) on a dual-stack socket, or an IPv6 /64, the
    // smallest prefix a single host is commonly given whole (RFC 4291 §2.5.1, RFC 7934).
    static asio::ip::address sourceOf(const asio::ip::address& address);

    // Counts session id, a new connection from address, until leave(id). Returns the sessions
    // that must be closed to make room for it: the oldest of its own source when that source is
    // at its cap, else, when the total is at its cap, the oldest of the source holding the most
    // (of two such sources, the one whose oldest is older). Those no longer count.
    std::vector<SessionID> admit(SessionID id, const asio::ip::address& address);
    // The session authenticated or closed. Ids that no longer count (already left, or evicted)
    // are ignored.
    void leave(SessionID id);

    // One handshake (one X25519 agreement) for address's source; false when its bucket is empty.
    bool takeHandshake(const asio::ip::address& address, Clock::time_point now = Clock::now());

    std::size_t unauthenticated() const noexcept { return sessions_.size(); }
    std::size_t unauthenticatedFrom(const asio::ip::address& address) const;

private:
    struct Bucket {
        double tokens;
        Clock::time_point refilledAt;
    };
    // Where a counted session is filed: its source, and its place in admission order.
    struct Entry {
        asio::ip::address source;
        std::uint64_t order;
    };
    // A source's counted sessions, oldest first.
    using Queue = std::map<std::uint64_t, SessionID>;

    SessionID evictOldest(std::map<asio::ip::address, Queue>::iterator source);
    std::map<asio::ip::address, Queue>::iterator busiestSource();
    void forgetFullBuckets(Clock::time_point now);

    Limits limits_;
    std::uint64_t nextOrder_ = 0;
    std::map<SessionID, Entry> sessions_;
    std::map<asio::ip::address, Queue> bySource_;
    // Buckets are dropped once full again, so a scan of many addresses leaves nothing behind.
    // The scan for full ones runs only when the map has grown this large, and then again only
    // once it has doubled since: while thousands of sources are still refilling (a flood from
    // many IPv6 networks), a scan at every handshake would make each one cost them all.
    static constexpr std::size_t bucketsBeforeCleanup = 1024;
    std::map<asio::ip::address, Bucket> buckets_;
    std::size_t cleanupAt_ = bucketsBeforeCleanup;
};

}  // namespace kestrel
