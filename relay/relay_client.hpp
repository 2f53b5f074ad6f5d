#pragma once

// The client end of a relay connection: the preamble, the client side of the handshake, and
// then envelopes. Used by kestrel-agent and by the tests that drive a relay as a device would.

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>
#include <string>

#include "protocol/connection_preamble.hpp"
#include "protocol/pairing_grant.hpp"
#include "protocol/relay_envelope.hpp"
#include "protocol/secure_channel.hpp"
#include "relay/relay_connection_io.hpp"

namespace kestrel {

class RelayClient {
public:
    // Sends the preamble and runs the handshake under psk on a connected socket. A relay that
    // does not hold the same key shows as SecureChannelError::confirmRejected (the server hello
    // does not verify) or as RelayIOError::closed (the relay closed the connection at once: no
    // pairing open, or an unknown device). A relay that dropped the connection before the
    // handshake completed without judging the client (to make room, or at a deadline) resets
    // it: asio::error::connection_reset (or broken_pipe).
    static asio::awaitable<RelayClient> open(asio::ip::tcp::socket socket,
                                             const ConnectionPreamble& preamble, SymmetricKey psk);

    // Pairing: reads the grant and acknowledges it.
    asio::awaitable<PairingGrant> receivePairingGrant();
    // One agent request (a length-prefixed agent message) and its reply.
    asio::awaitable<Bytes> agentRequest(ByteView message);

    asio::awaitable<void> sendEnvelope(const RelayEnvelope& envelope);
    asio::awaitable<RelayEnvelope> receiveEnvelope();

    // Whether the relay has ended the connection (or sent something nobody asked for) while it
    // sat idle, as it does when it restarts or revokes the device. Does not block. A client that
    // keeps a connection between requests checks this first, so that a stale connection is
    // replaced instead of failing the next request.
    bool peerHasClosed() const;

    asio::ip::tcp::socket& socket() noexcept { return *socket_; }
    void close();

private:
    RelayClient(std::unique_ptr<asio::ip::tcp::socket> socket, SecureChannel channel);

    // The socket lives on the heap so that the I/O's reference to it survives moves.
    std::unique_ptr<asio::ip::tcp::socket> socket_;
    RelayConnectionIO io_;
    SecureChannel channel_;
};

}  // namespace kestrel
