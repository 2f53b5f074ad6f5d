#include "app/agent/agent_server.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "app/common/private_socket.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/stream_messages.hpp"

namespace kestrel::agent {
namespace {

// Another agent (this program or ssh-agent) still answering on the path: taking its name would
// cut off whoever uses it.
bool socketIsServed(const std::string& path) {
    asio::io_context io;
    asio::local::stream_protocol::socket probe(io);
    std::error_code error;
    probe.connect(asio::local::stream_protocol::endpoint(path), error);
    return !error;
}

void removeStaleSocket(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return;
    if (!S_ISSOCK(status.st_mode))
        throw std::runtime_error(path + " exists and is not a socket; choose another --socket");
    if (socketIsServed(path)) {
        throw std::runtime_error("an agent is already serving " + path +
                                 " (stop it first, or choose another --socket)");
    }
    ::unlink(path.c_str());
}

}  // namespace

AgentServer::AgentServer(asio::any_io_executor executor, PairedRelay relay, SymmetricKey key,
                         std::string clientName, std::ostream& log)
    : executor_(std::move(executor)),
      relay_(std::move(relay)),
      key_(std::move(key)),
      clientName_(std::move(clientName)),
      log_(log) {}

void AgentServer::start(const std::string& path) {
    removeStaleSocket(path);
    asio::local::stream_protocol::acceptor acceptor = cli::bindPrivateSocket(executor_, path);
    path_ = path;
    acceptor_.emplace(std::move(acceptor));
    asio::co_spawn(executor_, acceptLoop(), asio::detached);
}

void AgentServer::stop() {
    if (!acceptor_ || !acceptor_->is_open()) return;
    std::error_code ignored;
    acceptor_->close(ignored);
    ::unlink(path_.c_str());
}

asio::awaitable<void> AgentServer::acceptLoop() {
    for (;;) {
        std::error_code error;
        LocalSocket socket =
            co_await acceptor_->async_accept(asio::redirect_error(asio::use_awaitable, error));
        if (error == asio::error::operation_aborted || !acceptor_->is_open()) co_return;
        if (error) {
            co_await cli::pauseAfterAcceptError();
            continue;
        }
        if (!cli::peerIsThisUser(socket)) continue;
        asio::co_spawn(executor_, serveClient(std::make_shared<LocalSocket>(std::move(socket))),
                       asio::detached);
    }
}

asio::awaitable<void> AgentServer::serveClient(std::shared_ptr<LocalSocket> client) {
    std::optional<RelayClient> relay;
    Bytes pending;
    std::error_code ignored;  // a socket that cannot be switched fails its first read instead
    client->non_blocking(true, ignored);  // for writeAtOnce
    for (;;) {
        // Bytes after the request (a client that does not wait for replies) stay pending.
        const PrefixedRead read = co_await readPrefixed(*client, pending, maxMessage);
        if (read.size == 0) break;
        Bytes request(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(read.size));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(read.size));
        const Bytes reply = co_await forward(relay, std::move(request));
        if (co_await writeAtOnce(*client, reply)) break;
    }
    if (relay) relay->close();
}

asio::awaitable<Bytes> AgentServer::forward(std::optional<RelayClient>& relay, Bytes request) {
    if (relay && relay->peerHasClosed()) {
        relay->close();
        relay.reset();
    }
    RelayStep step = RelayStep::connecting;
    Bytes reply;
    std::exception_ptr failure;
    try {
        co_await exchange(relay, std::move(request), reply, step);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        lastProblem_.clear();
        co_return reply;
    }
    // The next request opens a new connection.
    if (relay) relay->close();
    relay.reset();
    report(describeRelayFailure(step, failure));
    co_return SSHAgentProtocol::encodeFailure();
}

asio::awaitable<void> AgentServer::exchange(std::optional<RelayClient>& relay, Bytes request,
                                            Bytes& reply, RelayStep& step) {
    if (!relay) {
        try {
            co_await withDeadline(openPaired(relay_, key_, clientName_, relay, step),
                                  handshakeLimit);
        } catch (const std::system_error&) {
            // Nothing answers at the stored address: the relay may have come back elsewhere.
            if (step != RelayStep::connecting || !relocator_) throw;
            std::optional<std::string> moved = relocator_(relay_);
            if (!moved) throw;
            relay_.address = std::move(*moved);
            relay.reset();
            step = RelayStep::connecting;
        }
        if (!relay) {
            co_await withDeadline(openPaired(relay_, key_, clientName_, relay, step),
                                  handshakeLimit);
        }
    }
    step = RelayStep::request;
    // Running out of time closes the connection, which ends the request at once: cheaper for
    // every request than racing it against a timer.
    struct Deadline {
        bool expired = false;
        bool over = false;
    };
    const auto state = std::make_shared<Deadline>();
    RelayClient& client = *relay;
    asio::steady_timer deadline(executor_, replyLimit);
    deadline.async_wait([state, &client](const std::error_code& error) {
        if (error || state->over) return;
        state->expired = true;
        client.close();
    });
    std::exception_ptr failure;
    try {
        reply = co_await client.agentRequest(request);
    } catch (...) {
        failure = std::current_exception();
    }
    state->over = true;
    deadline.cancel();
    if (state->expired) throw std::system_error(asio::error::timed_out);
    if (failure) std::rethrow_exception(failure);
}

void AgentServer::report(const std::string& problem) {
    // One line per change of trouble, not one per request: ssh asks many times in a row.
    if (problem == lastProblem_) return;
    lastProblem_ = problem;
    log_ << "kestrel-agent: relay \u201C" << relay_.relayName << "\u201D at " << relay_.address
         << problem << std::endl;
}

}  // namespace kestrel::agent
