#pragma once

// The local SSH agent socket that kestrel-agent serves: each request from ssh, ssh-add or
// ssh-keygen travels to the paired relay as an agentRequest and the relay's answer comes back.
// One relay connection per local connection, opened on its first request and opened again
// after a failure; requests on one local connection are answered in order. Whatever cannot
// reach the relay is answered with the agent failure message, so ssh falls back to other keys,
// and one line on standard error says why. Runs on one io_context thread.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/agent/paired_relays.hpp"
#include "app/agent/relay_connection.hpp"
#include "relay/relay_client.hpp"

namespace kestrel::agent {

class AgentServer {
public:
    // Agent messages larger than this are refused; real requests and replies are far smaller.
    static constexpr std::size_t maxMessage = 256 * 1024;

    AgentServer(asio::any_io_executor executor, PairedRelay relay, SymmetricKey key,
                std::string clientName, std::ostream& log);

    // Binds the socket (0600) at path and starts accepting. A socket left there by an agent that
    // is gone is replaced; a socket that still accepts connections, or anything else at path, is
    // left alone and std::runtime_error says so in one line.
    void start(const std::string& path);
    void stop();

    // Asked when the relay cannot be reached at its address: the address it has moved to, or
    // none. Runs on the server's thread and may take a few seconds.
    using Relocator = std::function<std::optional<std::string>(const PairedRelay&)>;
    void setRelocator(Relocator relocator) { relocator_ = std::move(relocator); }

private:
    using LocalSocket = asio::local::stream_protocol::socket;

    asio::awaitable<void> acceptLoop();
    asio::awaitable<void> serveClient(std::shared_ptr<LocalSocket> client);
    asio::awaitable<Bytes> forward(std::optional<RelayClient>& relay, Bytes request);
    asio::awaitable<void> exchange(std::optional<RelayClient>& relay, Bytes request, Bytes& reply,
                                   RelayStep& step);
    void report(const std::string& problem);

    asio::any_io_executor executor_;
    PairedRelay relay_;
    SymmetricKey key_;
    std::string clientName_;
    std::ostream& log_;
    std::optional<asio::local::stream_protocol::acceptor> acceptor_;
    std::string path_;
    std::string lastProblem_;
    Relocator relocator_;
};

}  // namespace kestrel::agent
