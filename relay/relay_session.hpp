#pragma once

// The listener's private view of one connection and of the set of open connections. Included
// only by the listener's own source files. Relay thread only.

#include <asio/awaitable.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "protocol/uuid.hpp"
#include "relay/relay_listener.hpp"

namespace kestrel {

struct RelayListener::Session {
    Session(asio::ip::tcp::socket connection, asio::ip::address from)
        : socket(std::move(connection)), address(from), watchdog(socket.get_executor()) {}

    void close() {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
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
    asio::steady_timer watchdog;
    std::uint64_t deadlineGeneration = 0;
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
};

// Waits on the caller's executor; a cancelled wait simply ends early.
asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration);

}  // namespace kestrel
