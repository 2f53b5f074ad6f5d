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

asio::awaitable<PairingGrant> RelayHarness::pair(std::string code, std::string clientName) {
    const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, std::move(clientName));
    RelayClient client =
        co_await RelayClient::open(co_await connect(), preamble, Pairing::bootstrapPSK(code));
    co_return co_await client.receivePairingGrant();
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
