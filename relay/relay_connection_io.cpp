#include "relay/relay_connection_io.hpp"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <limits>
#include <stdexcept>

#include "protocol/error_category.hpp"
#include "relay/stream_messages.hpp"

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

RelayConnectionIO::RelayConnectionIO(asio::ip::tcp::socket& socket) : socket_(socket) {
    std::error_code ignored;  // a closed socket fails its first read instead
    socket_.non_blocking(true, ignored);
}

asio::awaitable<void> RelayConnectionIO::fill(std::size_t count, std::size_t extra) {
    while (pending_.size() < count) {
        // Waiting first, rather than trying a read that would mostly find nothing yet, saves a
        // system call; and the buffer is only allocated once there is something to put in it.
        std::error_code error;
        co_await socket_.async_wait(asio::socket_base::wait_read,
                                    asio::redirect_error(asio::use_awaitable, error));
        if (error) throw std::system_error(error);
        const std::size_t had = pending_.size();
        pending_.resize(count + extra);
        const std::size_t received =
            socket_.read_some(asio::buffer(pending_.data() + had, pending_.size() - had), error);
        pending_.resize(had + received);
        if (error == asio::error::would_block || error == asio::error::try_again) continue;
        if (error == asio::error::eof) throw std::system_error(RelayIOError::closed);
        if (error) throw std::system_error(error);
    }
}

asio::awaitable<Bytes> RelayConnectionIO::receive(std::size_t limit) {
    co_await fill(4, readAhead);
    const std::size_t length = std::size_t{pending_[0]} << 24 | std::size_t{pending_[1]} << 16 |
                               std::size_t{pending_[2]} << 8 | pending_[3];
    if (length == 0 || length > limit || length > maxMessage) {
        throw std::system_error(RelayIOError::oversized);
    }
    co_await fill(4 + length, 0);
    Bytes payload(pending_.begin() + 4, pending_.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    pending_.erase(pending_.begin(), pending_.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    if (pending_.empty()) pending_ = Bytes();
    co_return payload;
}

asio::awaitable<void> RelayConnectionIO::send(ByteView payload) {
    const Bytes frame = framed(payload);
    if (const std::error_code error = co_await writeAtOnce(socket_, frame))
        throw std::system_error(error);
}

}  // namespace kestrel
