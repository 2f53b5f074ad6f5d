#pragma once

// The listener's private view of one connection and of the set of open connections. Included
// only by the listener's own source files. Relay thread only.

#include <asio/awaitable.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "protocol/uuid.hpp"
#include "relay/relay_listener.hpp"

namespace kestrel {

struct RelayListener::Session {
    Session(asio::ip::tcp::socket connection, asio::ip::address from, std::uint64_t sessionID)
        : socket(std::move(connection)),
          address(from),
          id(sessionID),
          watchdog(socket.get_executor()) {}

    // Ends the connection. Before the peer has authenticated the end is abortive (see abort()):
    // whatever made the relay give up on it (a full cap, the handshake rate, a deadline, a stop)
    // is no verdict on the device, and its client must not take it for one.
    void close() {
        if (countedUnauthenticated) {
            abort();
            return;
        }
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        watchdog.cancel();
    }

    // Ends the connection with a reset (SO_LINGER 0, no FIN first): the client's next read or
    // write fails with ECONNRESET, which tells it the relay dropped it before it authenticated,
    // as opposed to rejecting it (closeAfterDraining).
    void abort() {
        std::error_code ignored;
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
        watchdog.cancel();
    }

    // Ends the connection of a peer the relay will not serve (an unknown device, no open code)
    // with a clean end of stream, the client's sign that it was turned away. The FIN goes out
    // first; then what the client already sent is read and dropped, since closing with unread
    // bytes would send a reset after it. Bytes that arrive after the close still draw a reset,
    // but the client has the FIN by then and reads end of stream.
    void closeAfterDraining() {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        socket.non_blocking(true, ignored);
        // A client sends a preamble and a client hello before it reads; bounded all the same,
        // so a peer that keeps sending cannot hold the relay thread here.
        std::array<std::uint8_t, 4096> discarded;
        for (int read = 0; read < 16; ++read) {
            std::error_code error;
            socket.read_some(asio::buffer(discarded), error);
            if (error) break;  // would_block once drained, or eof
        }
        socket.close(ignored);
        watchdog.cancel();
    }

    // Closes the connection unless the session gets further first (disarm, or a new deadline).
    // The handler holds the session weakly: a session may end, and be freed, while its timer's
    // completion is already queued.
    static void armDeadline(const std::shared_ptr<Session>& session,
                            std::chrono::steady_clock::duration after) {
        const std::uint64_t generation = ++session->deadlineGeneration;
        session->watchdog.expires_after(after);
        session->watchdog.async_wait(
            [weak = std::weak_ptr<Session>(session), generation](std::error_code error) {
                auto expired = weak.lock();
                // A completion queued just before the session moved on is stale: cancelling
                // cannot recall it, so it must not close the session's next step.
                if (expired && !error && expired->deadlineGeneration == generation) {
                    expired->close();
                }
            });
    }

    void disarmDeadline() {
        ++deadlineGeneration;
        watchdog.cancel();
    }

    // Whether the peer runs on this machine: it came from a loopback address or from the very
    // address it connected to. IPv4 peers of the dual-stack socket appear as mapped addresses.
    bool fromThisHost() const {
        const auto plain = [](const asio::ip::address& any) -> asio::ip::address {
            if (any.is_v6() && any.to_v6().is_v4_mapped())
                return asio::ip::make_address_v4(asio::ip::v4_mapped, any.to_v6());
            return any;
        };
        std::error_code error;
        const asio::ip::tcp::endpoint local = socket.local_endpoint(error);
        return plain(address).is_loopback() || (!error && plain(local.address()) == plain(address));
    }

    asio::ip::tcp::socket socket;
    asio::ip::address address;
    std::uint64_t id;  // the session's key in the registry and in admission control
    asio::steady_timer watchdog;
    std::uint64_t deadlineGeneration = 0;
    // Not yet authenticated: admission control counts it (until it leaves or is evicted).
    bool countedUnauthenticated = false;
    std::optional<UUID> deviceID;  // set once a paired connection's key is resolved
};

// The open sessions, so that stop() and a revocation can close them. Shared with each session's
// coroutine, which removes itself when it ends, even if that happens after the listener is gone.
struct RelayListener::SessionRegistry {
    std::map<std::uint64_t, std::weak_ptr<Session>> sessions;
    std::uint64_t nextID = 0;

    void closeAll(const std::function<bool(const Session&)>& which) {
        for (auto& [id, weak] : sessions) {
            if (auto session = weak.lock(); session && which(*session)) session->close();
        }
    }

    // Ends sessions that admission control gave up for newer connections.
    void evict(const std::vector<std::uint64_t>& ids) {
        for (const std::uint64_t id : ids) {
            const auto found = sessions.find(id);
            if (found == sessions.end()) continue;
            if (auto session = found->second.lock()) session->abort();
        }
    }
};

// Waits on the caller's executor; a cancelled wait simply ends early.
asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration);

}  // namespace kestrel
