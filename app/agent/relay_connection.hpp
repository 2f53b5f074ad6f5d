#pragma once

// Reaching a relay from this computer: its address as the user gives it, and the connections
// that pair with it and carry agent requests to it.

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <string>

#include "app/agent/paired_relays.hpp"
#include "relay/relay_client.hpp"

namespace kestrel::agent {

struct RelayAddress {
    std::string host;
    std::uint16_t port;
};

// "host:port", "192.0.2.1:4000" or "[::1]:4000". Throws cli::UsageError with one line.
RelayAddress parseRelayAddress(const std::string& text);

asio::awaitable<asio::ip::tcp::socket> connectTo(const RelayAddress& address);

// A paired connection to the relay, handshake done.
asio::awaitable<RelayClient> openPaired(const PairedRelay& relay, SymmetricKey key,
                                        const std::string& clientName);

// Why a connection to a relay failed, in words for the user.
std::string describeRelayFailure(const std::exception& error);

}  // namespace kestrel::agent
