#pragma once

// Writing a whole message to a stream socket that does not block.

#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <system_error>

#include "protocol/bytes.hpp"

namespace kestrel {

// Writes all of bytes: at once when they fit the socket's buffer, as a message mostly does,
// which skips a trip through the event loop; the rest as the peer reads. The socket must be in
// non-blocking mode (socket.non_blocking(true)), or a full buffer would block the thread. Returns
// the error that ended the write, or none.
template <typename Socket>
asio::awaitable<std::error_code> writeAtOnce(Socket& socket, ByteView bytes) {
    std::error_code error;
    std::size_t written = socket.write_some(asio::buffer(bytes.data(), bytes.size()), error);
    if (error == asio::error::would_block || error == asio::error::try_again) {
        written = 0;
        error.clear();
    }
    if (!error && written < bytes.size()) {
        co_await asio::async_write(socket,
                                   asio::buffer(bytes.data() + written, bytes.size() - written),
                                   asio::redirect_error(asio::use_awaitable, error));
    }
    co_return error;
}

}  // namespace kestrel
