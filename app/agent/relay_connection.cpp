#include "app/agent/relay_connection.hpp"

#include <asio/connect.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <charconv>

#include "app/common/arguments.hpp"
#include "protocol/pairing.hpp"
#include "protocol/secure_channel.hpp"
#include "relay/display_name.hpp"

namespace kestrel::agent {
namespace {

// Awaitable operators wait for the timer when the other branch fails instead of finishing, so
// the operation's failure is handed over as a value.
asio::awaitable<std::exception_ptr> failureOf(asio::awaitable<void> operation) {
    std::exception_ptr failure;
    try {
        co_await std::move(operation);
    } catch (...) {
        failure = std::current_exception();
    }
    co_return failure;
}

asio::awaitable<asio::ip::tcp::socket> connectTo(RelayAddress address) {
    const auto executor = co_await asio::this_coro::executor;
    asio::ip::tcp::resolver resolver(executor);
    const auto endpoints = co_await resolver.async_resolve(
        address.host, std::to_string(address.port), asio::use_awaitable);
    asio::ip::tcp::socket socket(executor);
    co_await asio::async_connect(socket, endpoints, asio::use_awaitable);
    socket.set_option(asio::ip::tcp::no_delay(true));
    co_return socket;
}

std::error_code codeOf(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::system_error& error) {
        return error.code();
    } catch (...) {
        return {};
    }
}

std::string messageOf(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::system_error& error) {
        return error.code().message();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

bool isClosed(const std::error_code& code) {
    return code == RelayIOError::closed || code == asio::error::connection_reset ||
           code == asio::error::broken_pipe;
}

asio::awaitable<void> openPairedOnce(const PairedRelay& relay, SymmetricKey key,
                                     const std::string& clientName,
                                     std::optional<RelayClient>& connection, RelayStep& step) {
    step = RelayStep::connecting;
    asio::ip::tcp::socket socket = co_await connectTo(parseRelayAddress(relay.address));
    step = RelayStep::handshake;
    const ConnectionPreamble preamble(ConnectionMode::paired, relay.deviceID, clientName);
    connection.emplace(co_await RelayClient::open(std::move(socket), preamble, std::move(key)));
    step = RelayStep::request;
}

}  // namespace

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

asio::awaitable<void> withDeadline(asio::awaitable<void> operation,
                                   std::chrono::steady_clock::duration limit) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, limit);
    const auto first =
        co_await (failureOf(std::move(operation)) || timer.async_wait(asio::use_awaitable));
    if (first.index() == 1) throw std::system_error(asio::error::timed_out);
    if (const std::exception_ptr failure = std::get<0>(first)) std::rethrow_exception(failure);
}

asio::awaitable<void> pairWith(RelayAddress address, std::string code, std::string clientName,
                               std::optional<PairingGrant>& grant, RelayStep& step) {
    step = RelayStep::connecting;
    asio::ip::tcp::socket socket = co_await connectTo(address);
    step = RelayStep::handshake;
    const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, clientName);
    RelayClient client =
        co_await RelayClient::open(std::move(socket), preamble, Pairing::bootstrapPSK(code));
    step = RelayStep::request;
    PairingGrant received = co_await client.receivePairingGrant();
    // The relay stores the device when the acknowledgement arrives, then closes the connection:
    // its close is the sign that pairing is complete on its side too.
    try {
        co_await client.receiveEnvelope();
    } catch (const std::system_error& error) {
        if (!isClosed(error.code())) throw;
    }
    client.close();
    grant.emplace(received.deviceID, std::move(received.pskData),
                  cleanDisplayName(received.relayName));
}

asio::awaitable<void> openPaired(PairedRelay relay, SymmetricKey key, std::string clientName,
                                 std::optional<RelayClient>& connection, RelayStep& step) {
    for (int attempt = 0;; ++attempt) {
        try {
            co_await openPairedOnce(relay, key, clientName, connection, step);
            co_return;
        } catch (const std::system_error& error) {
            const bool busy =
                step == RelayStep::handshake && relayDroppedBeforeAuthentication(error.code());
            if (!busy || attempt == busyRetries) throw;
        }
        asio::steady_timer pause(co_await asio::this_coro::executor, busyRetryPause);
        co_await pause.async_wait(asio::use_awaitable);
    }
}

bool relayDroppedBeforeAuthentication(const std::error_code& code) {
    // A write after the reset has been reported once fails with a broken pipe instead.
    return code == asio::error::connection_reset || code == asio::error::broken_pipe;
}

std::string describeRelayFailure(RelayStep step, const std::exception_ptr& failure) {
    const std::error_code code = codeOf(failure);
    const bool timedOut = code == asio::error::timed_out;
    switch (step) {
        case RelayStep::connecting:
            return " is unreachable: " +
                   (timedOut ? "no answer within " + std::to_string(handshakeLimit.count()) + " s"
                             : messageOf(failure));
        case RelayStep::handshake:
            if (relayDroppedBeforeAuthentication(code))
                return ": the relay closed the connection before this device authenticated (it "
                       "may be busy)";
            if (code == RelayIOError::closed)
                return ": the relay no longer knows this device (revoked?); pair again";
            if (code == SecureChannelError::confirmRejected)
                return ": the relay did not prove it holds this device's key (another relay at "
                       "this address?)";
            if (timedOut) return ": the handshake did not finish in time";
            return ": handshake failed: " + messageOf(failure);
        case RelayStep::request:
            if (isClosed(code)) return ": the relay closed the connection";
            if (timedOut) return ": no answer within " + std::to_string(replyLimit.count()) + " s";
            return ": " + messageOf(failure);
    }
    return ": " + messageOf(failure);
}

}  // namespace kestrel::agent
