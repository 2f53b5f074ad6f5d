#include "app/agent/relay_connection.hpp"

#include <asio/connect.hpp>
#include <asio/use_awaitable.hpp>

#include <charconv>

#include "app/common/arguments.hpp"
#include "protocol/secure_channel.hpp"

namespace kestrel::agent {

RelayAddress parseRelayAddress(const std::string& text) {
    const auto bad = [&] {
        return cli::UsageError(
            "--relay must be HOST:PORT (e.g. 192.168.1.20:4000 or [fe80::1]:4000), not \"" + text +
            "\"");
    };
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) throw bad();
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']' || host.size() < 3) throw bad();
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        throw bad();  // an IPv6 address needs brackets
    }
    unsigned port = 0;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, port);
    if (error != std::errc() || end != last || port == 0 || port > 65535) throw bad();
    return {host, static_cast<std::uint16_t>(port)};
}

asio::awaitable<asio::ip::tcp::socket> connectTo(const RelayAddress& address) {
    const auto executor = co_await asio::this_coro::executor;
    asio::ip::tcp::resolver resolver(executor);
    const auto endpoints = co_await resolver.async_resolve(
        address.host, std::to_string(address.port), asio::use_awaitable);
    asio::ip::tcp::socket socket(executor);
    co_await asio::async_connect(socket, endpoints, asio::use_awaitable);
    socket.set_option(asio::ip::tcp::no_delay(true));
    co_return socket;
}

asio::awaitable<RelayClient> openPaired(const PairedRelay& relay, SymmetricKey key,
                                        const std::string& clientName) {
    const ConnectionPreamble preamble(ConnectionMode::paired, relay.deviceID, clientName);
    co_return co_await RelayClient::open(co_await connectTo(parseRelayAddress(relay.address)),
                                         preamble, std::move(key));
}

std::string describeRelayFailure(const std::exception& error) {
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    if (system == nullptr) return error.what();
    const std::error_code code = system->code();
    if (code == RelayIOError::closed || code == asio::error::connection_reset) {
        return "the relay closed the connection: it no longer knows this device (revoked?)";
    }
    if (code == SecureChannelError::confirmRejected) {
        return "the relay did not prove it holds this device's key (paired again elsewhere?)";
    }
    return code.message();
}

}  // namespace kestrel::agent
