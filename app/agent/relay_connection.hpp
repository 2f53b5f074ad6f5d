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

// A busy relay (see relayDroppedBeforeAuthentication) is tried this many more times, this long
// apart: it makes room for new connections by dropping older ones that have not authenticated,
// so a new attempt gets in unless the relay is flooded faster than a handshake completes.
inline constexpr int busyRetries = 2;
inline constexpr std::chrono::milliseconds busyRetryPause{250};

// Opens a paired connection (handshake done) into connection, updating step as it goes. A
// connection the relay drops before the handshake completes is opened again, up to busyRetries
// times; its last failure is thrown.
asio::awaitable<void> openPaired(PairedRelay relay, SymmetricKey key, std::string clientName,
                                 std::optional<RelayClient>& connection, RelayStep& step);

// How the relay ended a connection before this device authenticated. It never says why in
// words; the transport does. A reset means it dropped the connection without judging the device
// (a full cap, a deadline, a stop); a clean end of stream means it turned the device away
// (unknown to it, or no code open for a pairing).
bool relayDroppedBeforeAuthentication(const std::error_code& code);

// Why talking to a paired relay failed, for the line "relay “NAME” at ADDRESS<this>": starts
// with " is unreachable: " or ": ".
std::string describeRelayFailure(RelayStep step, const std::exception_ptr& failure);

}  // namespace kestrel::agent
