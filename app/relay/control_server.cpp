#include "app/relay/control_server.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/streambuf.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <deque>

#include "app/common/private_socket.hpp"
#include "app/relay/control_protocol.hpp"
#include "protocol/json_value.hpp"

namespace kestrel::control {
namespace {}  // namespace

// One client of the control socket. Answers go out in order through one writer, because a
// pairing result can arrive while a command's answer is being written.
struct ControlServer::Connection {
    explicit Connection(asio::local::stream_protocol::socket s) : socket(std::move(s)) {}

    void send(std::string line) {
        outbox.push_back(std::move(line) + "\n");
        if (writing) return;
        writing = true;
        asio::co_spawn(socket.get_executor(), writeLoop(self.lock()), asio::detached);
    }

    static asio::awaitable<void> writeLoop(std::shared_ptr<Connection> connection) {
        if (!connection) co_return;
        while (!connection->outbox.empty()) {
            const std::string line = std::move(connection->outbox.front());
            connection->outbox.pop_front();
            std::error_code error;
            co_await asio::async_write(connection->socket, asio::buffer(line),
                                       asio::redirect_error(asio::use_awaitable, error));
            if (error) break;
        }
        connection->writing = false;
    }

    void close() {
        std::error_code ignored;
        socket.close(ignored);
    }

    asio::local::stream_protocol::socket socket;
    std::weak_ptr<Connection> self;
    std::deque<std::string> outbox;
    bool writing = false;
    std::optional<std::string> pairingCode;  // the code this client opened and waits on
    std::optional<int> observer;
};

ControlServer::ControlServer(asio::any_io_executor executor, RelayController& controller,
                             ControlCommands& commands)
    : executor_(std::move(executor)),
      controller_(controller),
      commands_(commands),
      alive_(std::make_shared<bool>(true)) {}

ControlServer::~ControlServer() {
    stop();
    *alive_ = false;
}

void ControlServer::start(const std::string& path) {
    ::unlink(path.c_str());
    asio::local::stream_protocol::acceptor acceptor = cli::bindPrivateSocket(executor_, path);
    path_ = path;
    acceptor_.emplace(std::move(acceptor));
    asio::co_spawn(executor_, acceptLoop(), asio::detached);
}

void ControlServer::stop() {
    if (!acceptor_ || !acceptor_->is_open()) return;
    std::error_code ignored;
    acceptor_->close(ignored);
    ::unlink(path_.c_str());
}

asio::awaitable<void> ControlServer::acceptLoop() {
    for (;;) {
        std::error_code error;
        auto socket =
            co_await acceptor_->async_accept(asio::redirect_error(asio::use_awaitable, error));
        if (error == asio::error::operation_aborted || !acceptor_->is_open()) co_return;
        if (error) {
            co_await cli::pauseAfterAcceptError();
            continue;
        }
        if (!cli::peerIsThisUser(socket)) continue;  // dropped unanswered
        auto connection = std::make_shared<Connection>(std::move(socket));
        connection->self = connection;
        asio::co_spawn(executor_, serveConnection(connection), asio::detached);
    }
}

asio::awaitable<void> ControlServer::serveConnection(std::shared_ptr<Connection> connection) {
    const std::shared_ptr<bool> alive = alive_;
    asio::streambuf buffer(maxLineLength);
    for (;;) {
        std::error_code error;
        const std::size_t length = co_await asio::async_read_until(
            connection->socket, buffer, '\n', asio::redirect_error(asio::use_awaitable, error));
        if (!*alive) co_return;
        if (error) break;
        std::string line(asio::buffers_begin(buffer.data()),
                         asio::buffers_begin(buffer.data()) + static_cast<std::ptrdiff_t>(length));
        buffer.consume(length);
        answer(*connection, line);
    }
    // A client that stops sending while it waits for its code to be used cancels the code; it
    // is still told the outcome before the connection closes.
    if (connection->pairingCode && controller_.pairingCode() == connection->pairingCode) {
        controller_.cancelPairing();
    }
    if (connection->observer) controller_.removeObserver(*connection->observer);
    // The writer holds the connection until its last answer is out; then it closes.
    if (connection->outbox.empty()) connection->close();
}

void ControlServer::answer(Connection& connection, const std::string& line) {
    nlohmann::json request;
    try {
        request = json::parseObject(asBytes(line));
    } catch (const std::exception&) {
        connection.send(errorAnswer("request is not a JSON object").dump());
        return;
    }
    const nlohmann::json reply = commands_.handle(request);
    connection.send(reply.dump());
    if (request.value("command", "") != "pair" || reply.contains("error")) return;

    // Wait for this code's window to end, and tell this client how.
    if (connection.observer) controller_.removeObserver(*connection.observer);
    connection.pairingCode = reply["code"].get<std::string>();
    std::weak_ptr<Connection> weak = connection.self;
    connection.observer = controller_.addObserver([this, weak](const RelayEvent& event) {
        const auto* ended = std::get_if<PairingEnded>(&event);
        auto client = weak.lock();
        // Each `pair` hears how its own code ended, never a newer or older one's.
        if (ended == nullptr || !client || ended->code != client->pairingCode) return;
        client->send(ControlCommands::pairingEnded(*ended).dump());
        controller_.removeObserver(*client->observer);
        client->observer.reset();
        client->pairingCode.reset();
    });
}

}  // namespace kestrel::control
