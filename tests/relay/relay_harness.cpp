#include "relay_harness.hpp"

#include <asio/use_awaitable.hpp>

#include "protocol/pairing.hpp"

namespace kestrel::testing {

asio::awaitable<asio::ip::tcp::socket> RelayHarness::connect(asio::ip::address_v4 source) {
    asio::ip::tcp::socket socket(io);
    socket.open(asio::ip::tcp::v4());
    socket.bind({source, 0});
    co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port()},
                                  asio::use_awaitable);
    co_return socket;
}

asio::awaitable<PairingGrant> RelayHarness::pair(std::string code, std::string clientName,
                                                 std::string source) {
    const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, std::move(clientName));
    RelayClient client = co_await RelayClient::open(
        co_await connect(asio::ip::make_address_v4(source)), preamble, Pairing::bootstrapPSK(code));
    co_return co_await client.receivePairingGrant();
}

PairingGrant RelayHarness::pairNewDevice(const std::string& name) {
    controller->startPairing();
    PairingGrant grant = run(pair(*controller->pairingCode(), name));
    runUntil([&] { return !controller->pairingCode(); });
    return grant;
}

asio::awaitable<void> RelayHarness::probePairing(std::string source) {
    asio::ip::tcp::socket socket = co_await connect(asio::ip::make_address_v4(source));
    RelayConnectionIO connection(socket);
    co_await connection.send(
        ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Probe").serialized());
    // With nothing more to come, the relay closes the connection once it has read the preamble,
    // whether a code is open (no client hello follows) or not.
    socket.shutdown(asio::ip::tcp::socket::shutdown_send);
    try {
        co_await connection.receive();
    } catch (const std::system_error&) {
    }
}

asio::awaitable<RelayClient> RelayHarness::openPaired(UUID deviceID, SymmetricKey psk,
                                                      asio::ip::address_v4 source) {
    const ConnectionPreamble preamble(ConnectionMode::paired, deviceID, "Test Device");
    co_return co_await RelayClient::open(co_await connect(source), preamble, std::move(psk));
}

std::optional<PairingEnded> RelayHarness::lastPairingEnded() const {
    for (auto event = events.rbegin(); event != events.rend(); ++event) {
        if (const auto* ended = std::get_if<PairingEnded>(&*event)) return *ended;
    }
    return std::nullopt;
}

}  // namespace kestrel::testing
