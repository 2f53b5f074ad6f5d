#pragma once

// Reaching a relay from this computer: its address as the user gives it, the connections that
// pair with it and carry agent requests to it, the deadlines that keep a silent relay from
// hanging ssh, and what a failure means in words for the user.

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "app/agent/paired_relays.hpp"
#include "protocol/pairing_grant.hpp"
#include "relay/relay_client.hpp"

namespace kestrel::agent {

// Connecting and the handshake: the relay allows a client as long before it gives up on it.
inline constexpr std::chrono::seconds handshakeLimit{10};
// One agent request: the relay waits up to 60 s for its agent (and 0.2 s before a signature).
inline constexpr std::chrono::seconds replyLimit{70};

struct RelayAddress {
    std::string host;
    std::uint16_t port;
};

// "host:port", "192.0.2.1:4000" or "[::1]:4000". Throws cli::UsageError with one line.
RelayAddress parseRelayAddress(const std::string& text);

// Runs operation; when it has not finished within limit, cancels it and throws
// std::system_error(asio::error::timed_out).
asio::awaitable<void> withDeadline(asio::awaitable<void> operation,
                                   std::chrono::steady_clock::duration limit);

// How far talking to a relay got before it failed: the same error means something else at each.
enum class RelayStep { connecting, handshake, request };

// Pairs with the relay at address under the code's bootstrap key, acknowledges the grant and
// stores it in grant. The relay's name in it is cleaned for display. Failures are thrown, with
// step telling how far it got.
asio::awaitable<void> pairWith(RelayAddress address, std::string code, std::string clientName,
                               std::optional<PairingGrant>& grant, RelayStep& step);

// Opens a paired connection (handshake done) into connection, updating step as it goes.
asio::awaitable<void> openPaired(PairedRelay relay, SymmetricKey key, std::string clientName,
                                 std::optional<RelayClient>& connection, RelayStep& step);

// Why talking to a paired relay failed, for the line "relay “NAME” at ADDRESS<this>": starts
// with " is unreachable: " or ": ".
std::string describeRelayFailure(RelayStep step, const std::exception_ptr& failure);

}  // namespace kestrel::agent
