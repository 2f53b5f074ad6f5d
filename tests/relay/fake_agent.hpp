#pragma once

// ScriptedAgentFake: a FAKE SSH agent that answers one connection with scripted bytes.
//
// Why a fake at all: the forwarder is tested against a real ssh-agent wherever it can be
// (tests/support/ssh_agent_fixture.hpp). But a real agent always reads the whole request and
// sends one well-formed reply at once, so it cannot show what the forwarder must survive from
// a broken or wedged agent: a reply length of 0 or past the cap, a reply cut short, silence
// until the time limit, a request left unread (the kernel then resets the connection), or an
// agent that stops reading a large request. It also stands in for a socket that someone other
// than the user's agent listens on, to see whether the relay connects to it at all.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "protocol/bytes.hpp"

namespace kestrel::testing {

class ScriptedAgentFake {
public:
    struct Script {
        // Read one whole length-prefixed request before replying. When false, wait only until
        // request bytes have arrived and leave them unread.
        bool readRequest = true;
        // Sent once the request has been read (or has arrived).
        Bytes reply;
        // After the reply: keep the connection open until the client closes it, rather than
        // closing at once. Keeps a wrong reading of the reply from ending in a clean EOF.
        bool holdOpen = false;
        // While held open: read (and drop) whatever else arrives. When false, nothing more is
        // read, so a large request fills the socket buffers and its writer waits.
        bool readWhileHolding = true;
    };

    // Listens on socketPath (which must not exist) before returning, so a client may connect
    // at once; serves exactly one connection on its own thread.
    ScriptedAgentFake(const std::string& socketPath, Script script)
        : script_(std::move(script)),
          listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)),
          stop_(::eventfd(0, EFD_CLOEXEC)) {
        sockaddr_un address{};
        if (!listener_.valid() || !stop_.valid() || socketPath.size() >= sizeof address.sun_path) {
            throw std::system_error(EINVAL, std::generic_category(), "fake agent socket");
        }
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            ::listen(listener_.get(), 1) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "fake agent bind " + socketPath);
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~ScriptedAgentFake() {
        const std::uint64_t one = 1;
        (void)!::write(stop_.get(), &one, sizeof one);
        if (thread_.joinable()) thread_.join();
    }

    ScriptedAgentFake(const ScriptedAgentFake&) = delete;
    ScriptedAgentFake& operator=(const ScriptedAgentFake&) = delete;

    // Waits until the connection has been served, then returns the request bytes read from it
    // (length prefix included). Call only after the client has closed its end.
    const Bytes& receivedRequest() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

    // Whether a client has connected so far.
    bool accepted() const noexcept { return accepted_; }

private:
    class Fd {
    public:
        explicit Fd(int fd = -1) noexcept : fd_(fd) {}
        Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
        Fd& operator=(Fd&&) = delete;
        ~Fd() {
            if (fd_ >= 0) ::close(fd_);
        }
        int get() const noexcept { return fd_; }
        bool valid() const noexcept { return fd_ >= 0; }

    private:
        int fd_;
    };

    // False when the fake is being destroyed before fd became ready.
    bool waitFor(int fd, short events) const {
        for (;;) {
            pollfd fds[2] = {{fd, events, 0}, {stop_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[1].revents != 0) return false;
            if (fds[0].revents != 0) return true;
        }
    }

    bool receive(int fd, std::size_t count) {
        while (count > 0) {
            if (!waitFor(fd, POLLIN)) return false;
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(fd, buffer, std::min(count, sizeof buffer), MSG_DONTWAIT);
            if (got == 0) return false;
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return false;
            }
            received_.insert(received_.end(), buffer, buffer + got);
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }

    bool readRequest(int fd) {
        if (!receive(fd, 4)) return false;
        const std::uint32_t length = std::uint32_t{received_[0]} << 24 |
                                     std::uint32_t{received_[1]} << 16 |
                                     std::uint32_t{received_[2]} << 8 | received_[3];
        return receive(fd, length);
    }

    bool sendAll(int fd, ByteView bytes) const {
        std::size_t offset = 0;
        while (offset < bytes.size()) {
            if (!waitFor(fd, POLLOUT)) return false;
            const ssize_t sent = ::send(fd, bytes.data() + offset, bytes.size() - offset,
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (sent < 0) return false;
            offset += static_cast<std::size_t>(sent);
        }
        return true;
    }

    void waitForClientClose(int fd) const {
        if (!script_.readWhileHolding) {
            // POLLHUP is reported whatever events are asked for.
            while (waitFor(fd, 0)) {
                pollfd hangup{fd, 0, 0};
                if (::poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLHUP | POLLERR)) != 0)
                    return;
            }
            return;
        }
        std::uint8_t buffer[4096];
        while (waitFor(fd, POLLIN)) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
        }
    }

    void serve() {
        if (!waitFor(listener_.get(), POLLIN)) return;
        const Fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.valid()) return;
        accepted_ = true;
        const bool ready =
            script_.readRequest ? readRequest(connection.get()) : waitFor(connection.get(), POLLIN);
        if (!ready || !sendAll(connection.get(), script_.reply)) return;
        if (script_.holdOpen) waitForClientClose(connection.get());
    }

    Script script_;
    Fd listener_;
    Fd stop_;
    Bytes received_;
    std::atomic<bool> accepted_ = false;
    std::thread thread_;
};

}  // namespace kestrel::testing
