#include "app/relay/control_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
    detail::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throw std::system_error(errno, std::generic_category(), "socket");
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return std::nullopt;
        throw std::system_error(error, std::generic_category(),
                                "cannot reach the relay at " + path);
    }
    return ControlClient(std::move(fd));
}

void ControlClient::send(const nlohmann::json& request) {
    const std::string line = request.dump() + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t written =
            ::send(fd_.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw std::system_error(errno, std::generic_category(), "lost the relay");
        sent += static_cast<std::size_t>(written);
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// What is left of the time until the deadline, for poll(): -1 (no limit) without one.
int millisecondsUntil(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

std::string spoken(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 != 0) return std::to_string(duration.count()) + " ms";
    return std::to_string(duration.count() / 1000) + " s";
}

}  // namespace

std::optional<nlohmann::json> ControlClient::receive(int timeoutMs) {
    interrupted_ = false;
    // One deadline for the whole line, so that a trickle of bytes cannot stretch the wait.
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (const std::size_t newline = buffer_.find('\n'); newline != std::string::npos) {
            const std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return nlohmann::json::parse(line);
        }
        if (atEnd_) return std::nullopt;
        pollfd waiting{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            interrupted_ = true;
            return std::nullopt;
        }
        if (ready == 0) return std::nullopt;
        char chunk[4096];
        const ssize_t received = ::read(fd_.get(), chunk, sizeof chunk);
        if (received < 0 && errno == EINTR) {
            interrupted_ = true;
            return std::nullopt;
        }
        if (received < 0) throw std::system_error(errno, std::generic_category(), "lost the relay");
        if (received == 0) atEnd_ = true;
        buffer_.append(chunk, static_cast<std::size_t>(received));
    }
}

void ControlClient::finishSending() { ::shutdown(fd_.get(), SHUT_WR); }

nlohmann::json request(ControlClient& client, const nlohmann::json& request,
                       std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    client.send(request);
    for (;;) {
        const int left = millisecondsUntil(deadline);
        if (left == 0) {
            throw std::runtime_error("the relay does not answer (no answer in " + spoken(timeout) +
                                     "); it may be stuck");
        }
        if (auto answer = client.receive(left)) return *answer;
        if (client.atEnd())
            throw std::runtime_error("the relay closed the connection without answering");
    }
}

}  // namespace kestrel::control
