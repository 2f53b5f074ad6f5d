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

    // Puts the socket in non-blocking mode: it is read only once it is readable, and every
    // other use of it must be asynchronous.
    explicit RelayConnectionIO(asio::ip::tcp::socket& socket);

    // One frame's payload. limit lowers the accepted size for frames whose size is known in
    // advance; a larger header is refused before the payload is allocated, and before more than
    // readAhead bytes of it are read.
    asio::awaitable<Bytes> receive(std::size_t limit = maxMessage);
    // Header and payload in one buffer and one write.
    asio::awaitable<void> send(ByteView payload);

    // How far a read may go past the bytes asked for: a frame mostly arrives in one piece, and
    // one read for its header and payload is one wait for the socket instead of two.
    static constexpr std::size_t readAhead = 4096;

private:
    // Waits until at least count bytes are pending, reading at most count + extra.
    asio::awaitable<void> fill(std::size_t count, std::size_t extra);

    asio::ip::tcp::socket& socket_;
    // Bytes read and not yet returned: the rest of a frame, or the start of the next one when
    // the peer sent it at once. Released whenever it runs empty, so an idle connection holds
    // no buffer.
    Bytes pending_;
};

// The frame of a payload: its length big-endian, then the payload.
Bytes framed(ByteView payload);

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::RelayIOError> : std::true_type {};
