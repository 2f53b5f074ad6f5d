#include "app/relay/control_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace kestrel::control {

std::optional<ControlClient> ControlClient::connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(),
                                "control socket path too long");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return std::nullopt;
        throw std::system_error(error, std::generic_category(),
                                "cannot reach the relay at " + path);
    }
    return ControlClient(fd);
}

ControlClient::ControlClient(ControlClient&& other) noexcept
    : fd_(other.fd_), buffer_(std::move(other.buffer_)), atEnd_(other.atEnd_) {
    other.fd_ = -1;
}

ControlClient::~ControlClient() {
    if (fd_ >= 0) ::close(fd_);
}

void ControlClient::send(const nlohmann::json& request) {
    const std::string line = request.dump() + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t written = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw std::system_error(errno, std::generic_category(), "lost the relay");
        sent += static_cast<std::size_t>(written);
    }
}

std::optional<nlohmann::json> ControlClient::receive(int timeoutMs) {
    interrupted_ = false;
    for (;;) {
        if (const std::size_t newline = buffer_.find('\n'); newline != std::string::npos) {
            const std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return nlohmann::json::parse(line);
        }
        if (atEnd_) return std::nullopt;
        pollfd waiting{fd_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            interrupted_ = true;
            return std::nullopt;
        }
        if (ready == 0) return std::nullopt;
        char chunk[4096];
        const ssize_t received = ::read(fd_, chunk, sizeof chunk);
        if (received < 0 && errno == EINTR) {
            interrupted_ = true;
            return std::nullopt;
        }
        if (received < 0) throw std::system_error(errno, std::generic_category(), "lost the relay");
        if (received == 0) atEnd_ = true;
        buffer_.append(chunk, static_cast<std::size_t>(received));
    }
}

void ControlClient::finishSending() { ::shutdown(fd_, SHUT_WR); }

nlohmann::json request(ControlClient& client, const nlohmann::json& request) {
    client.send(request);
    for (;;) {
        if (auto answer = client.receive()) return *answer;
        if (client.atEnd())
            throw std::runtime_error("the relay closed the connection without answering");
    }
}

}  // namespace kestrel::control
