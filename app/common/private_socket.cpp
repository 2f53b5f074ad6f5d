#include "app/common/private_socket.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <system_error>

namespace kestrel::cli {

asio::local::stream_protocol::acceptor bindPrivateSocket(const asio::any_io_executor& executor,
                                                         const std::string& path) {
    const mode_t previous = ::umask(0177);
    asio::local::stream_protocol::acceptor acceptor(executor);
    std::error_code error;
    acceptor.open(asio::local::stream_protocol(), error);
    if (!error) acceptor.bind(asio::local::stream_protocol::endpoint(path), error);
    ::umask(previous);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) throw std::system_error(error, "cannot create the socket " + path);
    return acceptor;
}

bool peerIsThisUser(asio::local::stream_protocol::socket& socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) ==
               0 &&
           credentials.uid == ::getuid();
}

asio::awaitable<void> pauseAfterAcceptError() {
    asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(100));
    std::error_code ignored;
    co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

}  // namespace kestrel::cli
