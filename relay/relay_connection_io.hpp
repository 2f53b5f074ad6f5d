#pragma once

// Length-prefixed frames over one TCP stream: a uint32 big-endian payload length, then the
// payload. Every message of a relay connection (preamble, handshake, sealed envelopes) is one
// frame. Knows nothing of what the frames mean.

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <system_error>

#include "protocol/bytes.hpp"

namespace kestrel {

enum class RelayIOError {
    closed = 1,  // the peer ended the stream before the expected bytes arrived
    oversized,   // a length field of 0 or above the limit
    malformed,   // a read returned another byte count without the stream having ended
};

const std::error_category& relayIOCategory() noexcept;
std::error_code make_error_code(RelayIOError error) noexcept;

// One per connection, used by one coroutine at a time on the socket's executor. Socket errors
// other than end of stream are thrown unchanged (as Asio's std::system_error). After any error
// the stream position is unknown and the connection must be given up.
class RelayConnectionIO {
public:
    // The largest payload accepted on receive (512 KiB). Sending has no limit of its own.
    static constexpr std::size_t maxMessage = 524'288;

    explicit RelayConnectionIO(asio::ip::tcp::socket& socket) : socket_(socket) {}

    // One frame's payload. limit lowers the accepted size for frames whose size is known in
    // advance; a larger header is refused before any payload byte is read or allocated.
    asio::awaitable<Bytes> receive(std::size_t limit = maxMessage);
    asio::awaitable<Bytes> receiveExactly(std::size_t count);
    // Header and payload in one buffer and one write.
    asio::awaitable<void> send(ByteView payload);

private:
    asio::ip::tcp::socket& socket_;
};

// The frame of a payload: its length big-endian, then the payload.
Bytes framed(ByteView payload);

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::RelayIOError> : std::true_type {};
