#pragma once

// Serves the control socket of a running relay (see control_protocol.hpp). Only processes of
// the same user may connect: the directory is 0700, the socket 0600, and each peer's uid is
// checked again with SO_PEERCRED. Relay thread only.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>

#include <memory>
#include <optional>
#include <string>

#include "app/relay/control_commands.hpp"

namespace kestrel::control {

class ControlServer {
public:
    ControlServer(asio::any_io_executor executor, RelayController& controller,
                  ControlCommands& commands);
    ~ControlServer();

    // Binds the socket at path (replacing a stale one: the caller holds the instance lock).
    void start(const std::string& path);
    void stop();

private:
    struct Connection;

    asio::awaitable<void> acceptLoop();
    asio::awaitable<void> serveConnection(std::shared_ptr<Connection> connection);
    void answer(Connection& connection, const std::string& line);

    asio::any_io_executor executor_;
    RelayController& controller_;
    ControlCommands& commands_;
    std::optional<asio::local::stream_protocol::acceptor> acceptor_;
    std::string path_;
    std::shared_ptr<bool> alive_;
};

}  // namespace kestrel::control
