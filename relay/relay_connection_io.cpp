#include "relay/relay_connection_io.hpp"

#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <limits>
#include <stdexcept>

#include "protocol/error_category.hpp"

namespace kestrel {
namespace {

const char* describe(RelayIOError error) noexcept {
    switch (error) {
        case RelayIOError::closed: return "connection closed by the peer";
        case RelayIOError::oversized: return "frame length out of range";
        case RelayIOError::malformed: return "short read";
    }
    return "unknown relay I/O error";
}

}  // namespace

const std::error_category& relayIOCategory() noexcept {
    static const detail::EnumErrorCategory<RelayIOError> category("kestrel.relay-io", describe);
    return category;
}

std::error_code make_error_code(RelayIOError error) noexcept {
    return {static_cast<int>(error), relayIOCategory()};
}

Bytes framed(ByteView payload) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("frame payload longer than 4 GiB");
    }
    const auto length = static_cast<std::uint32_t>(payload.size());
    Bytes frame{static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    frame.reserve(4 + payload.size());
    append(frame, payload);
    return frame;
}

asio::awaitable<Bytes> RelayConnectionIO::receiveExactly(std::size_t count) {
    Bytes bytes(count);
    std::error_code error;
    const std::size_t received = co_await asio::async_read(
        socket_, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, error));
    if (error == asio::error::eof) throw std::system_error(RelayIOError::closed);
    if (error) throw std::system_error(error);
    if (received != count) throw std::system_error(RelayIOError::malformed);
    co_return bytes;
}

asio::awaitable<Bytes> RelayConnectionIO::receive(std::size_t limit) {
    const Bytes header = co_await receiveExactly(4);
    const std::size_t length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                               std::size_t{header[2]} << 8 | header[3];
    if (length == 0 || length > limit || length > maxMessage) {
        throw std::system_error(RelayIOError::oversized);
    }
    co_return co_await receiveExactly(length);
}

asio::awaitable<void> RelayConnectionIO::send(ByteView payload) {
    const Bytes frame = framed(payload);
    co_await asio::async_write(socket_, asio::buffer(frame), asio::use_awaitable);
}

}  // namespace kestrel
