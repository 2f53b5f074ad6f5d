#pragma once

// Length-prefixed messages on a stream socket, read and written with as few trips through the
// event loop as the bytes allow: an agent message (its length as 4 bytes big-endian, then the
// body), or any frame of the same shape.

#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <cstddef>
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

// How readPrefixed ended: a whole message at the front of `pending`, or why not.
struct PrefixedRead {
    std::size_t size = 0;           // prefix and body; 0 when there is no message
    std::error_code error;          // the read that failed (end of stream included)
    bool lengthOutOfRange = false;  // the prefix announced 0 bytes, or more than maxBody
};

// Reads one length-prefixed message into pending, after any bytes it already holds. A message
// mostly arrives in one piece: prefix and body are then read together, reading up to readAhead
// bytes past what is known to be wanted; bytes after the message stay in pending.
template <typename Socket>
asio::awaitable<PrefixedRead> readPrefixed(Socket& socket, Bytes& pending, std::size_t maxBody,
                                           std::size_t readAhead = 4096) {
    std::size_t wanted = 4;  // the prefix, until it tells the length
    for (;;) {
        if (wanted == 4 && pending.size() >= 4) {
            const std::size_t length = std::size_t{pending[0]} << 24 |
                                       std::size_t{pending[1]} << 16 |
                                       std::size_t{pending[2]} << 8 | pending[3];
            if (length == 0 || length > maxBody) co_return PrefixedRead{0, {}, true};
            wanted = 4 + length;
        }
        if (pending.size() >= wanted) co_return PrefixedRead{wanted, {}, false};
        const std::size_t had = pending.size();
        pending.resize(std::max(wanted, had + readAhead));
        std::error_code error;
        const std::size_t received = co_await socket.async_read_some(
            asio::buffer(pending.data() + had, pending.size() - had),
            asio::redirect_error(asio::use_awaitable, error));
        pending.resize(had + received);
        if (error) co_return PrefixedRead{0, error, false};
    }
}

}  // namespace kestrel
