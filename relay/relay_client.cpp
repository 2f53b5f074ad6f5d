#include "relay/relay_client.hpp"

#include <sys/socket.h>

#include <openssl/crypto.h>

#include <cerrno>

namespace kestrel {

RelayClient::RelayClient(std::unique_ptr<asio::ip::tcp::socket> socket, SecureChannel channel)
    : socket_(std::move(socket)), io_(*socket_), channel_(std::move(channel)) {}

asio::awaitable<RelayClient> RelayClient::open(asio::ip::tcp::socket socket,
                                               const ConnectionPreamble& preamble,
                                               SymmetricKey psk) {
    auto owned = std::make_unique<asio::ip::tcp::socket>(std::move(socket));
    RelayConnectionIO io(*owned);
    SecureChannel channel(SecureChannel::Role::client, std::move(psk));
    co_await io.send(preamble.serialized());
    co_await io.send(channel.clientHello());
    const Bytes serverHello = co_await io.receive();
    co_await io.send(channel.clientReceiveServerHello(serverHello));
    co_return RelayClient(std::move(owned), std::move(channel));
}

asio::awaitable<void> RelayClient::sendEnvelope(const RelayEnvelope& envelope) {
    co_await io_.send(channel_.seal(envelope.serialized()));
}

asio::awaitable<RelayEnvelope> RelayClient::receiveEnvelope() {
    Bytes plaintext = channel_.open(co_await io_.receive());
    RelayEnvelope envelope = RelayEnvelope::deserialize(plaintext);
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    co_return envelope;
}

asio::awaitable<PairingGrant> RelayClient::receivePairingGrant() {
    RelayEnvelope envelope = co_await receiveEnvelope();
    if (envelope.type != RelayMessageType::pairingGrant) {
        throw std::system_error(RelayIOError::malformed, "expected a pairing grant");
    }
    PairingGrant grant = PairingGrant::deserialize(envelope.payload);
    OPENSSL_cleanse(envelope.payload.data(), envelope.payload.size());
    co_await sendEnvelope(RelayEnvelope(RelayMessageType::pairingAck, {}, 1));
    co_return grant;
}

asio::awaitable<Bytes> RelayClient::agentRequest(ByteView message) {
    co_await sendEnvelope(
        RelayEnvelope(RelayMessageType::agentRequest, Bytes(message.begin(), message.end()), 1));
    RelayEnvelope reply = co_await receiveEnvelope();
    if (reply.type != RelayMessageType::agentResponse) {
        throw std::system_error(RelayIOError::malformed, "expected an agent response");
    }
    co_return std::move(reply.payload);
}

bool RelayClient::peerHasClosed() const {
    if (!socket_->is_open()) return true;
    std::uint8_t byte = 0;
    const ssize_t peeked = ::recv(socket_->native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

void RelayClient::close() {
    std::error_code ignored;
    socket_->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_->close(ignored);
}

}  // namespace kestrel
