#pragma once

// The Unix sockets that only this user may use: the relay's control socket and kestrel-agent's
// agent socket.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>

#include <string>

namespace kestrel::cli {

// A listening socket at path created 0600 whatever the umask, so nobody else may even try to
// connect. The caller has dealt with whatever was at path. Throws std::system_error naming it.
asio::local::stream_protocol::acceptor bindPrivateSocket(const asio::any_io_executor& executor,
                                                         const std::string& path);

// Whether the connected peer runs as this user (SO_PEERCRED); checked again for every
// connection, in case the socket's mode was changed behind our back.
bool peerIsThisUser(asio::local::stream_protocol::socket& socket);

// For an accept loop whose accept failed: out of descriptors, the same error would come straight
// back, so this waits a moment for one to free instead of letting the loop spin.
asio::awaitable<void> pauseAfterAcceptError();

}  // namespace kestrel::cli
