#pragma once

// The CLI's side of the control socket: blocking, one request line out, answer lines in.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace kestrel::control {

class ControlClient {
public:
    // None when no relay is running for this user (no socket, or nobody listening on it).
    // Other failures (permissions) throw std::system_error.
    static std::optional<ControlClient> connect(const std::string& path);

    ControlClient(ControlClient&& other) noexcept;
    ControlClient& operator=(ControlClient&&) = delete;
    ~ControlClient();

    void send(const nlohmann::json& request);
    // The next answer line; none at end of stream. With timeoutMs >= 0, also none when nothing
    // arrived in that time (check atEnd() to tell the two apart). A signal interrupting the
    // wait returns none as well, with interrupted() set.
    std::optional<nlohmann::json> receive(int timeoutMs = -1);
    // Tells the relay this client will send nothing more (a waiting pair is then cancelled).
    void finishSending();

    bool atEnd() const noexcept { return atEnd_; }
    bool interrupted() const noexcept { return interrupted_; }

private:
    explicit ControlClient(int fd) : fd_(fd) {}

    int fd_;
    std::string buffer_;
    bool atEnd_ = false;
    bool interrupted_ = false;
};

// Sends one request and returns its single answer; throws std::runtime_error when the relay
// closes the connection without answering.
nlohmann::json request(ControlClient& client, const nlohmann::json& request);

}  // namespace kestrel::control
