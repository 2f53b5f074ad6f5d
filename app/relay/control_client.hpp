#pragma once

// The CLI's side of the control socket: blocking, one request line out, answer lines in.

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>

#include "platform/unique_fd.hpp"

namespace kestrel::control {

// How long a command waits for the relay's answer. The relay answers every request from its
// own state at once, so a relay silent this long is stuck, and the user is better told so than
// left waiting.
inline constexpr std::chrono::milliseconds answerTimeout{10'000};

class ControlClient {
public:
    // None when no relay is running for this user (no socket, or nobody listening on it).
    // Other failures (permissions) throw std::system_error.
    static std::optional<ControlClient> connect(const std::string& path);

    void send(const nlohmann::json& request);
    // The next answer line; none at end of stream. With timeoutMs >= 0, also none when no whole
    // line arrived in that time (check atEnd() to tell the two apart). A signal interrupting
    // the wait returns none as well, with interrupted() set.
    std::optional<nlohmann::json> receive(int timeoutMs = -1);
    // Tells the relay this client will send nothing more (a waiting pair is then cancelled).
    void finishSending();

    bool atEnd() const noexcept { return atEnd_; }
    bool interrupted() const noexcept { return interrupted_; }

private:
    explicit ControlClient(detail::UniqueFd fd) : fd_(std::move(fd)) {}

    detail::UniqueFd fd_;
    std::string buffer_;
    bool atEnd_ = false;
    bool interrupted_ = false;
};

// Sends one request and returns its single answer; throws std::runtime_error when the relay
// closes the connection without answering or gives no whole answer within `timeout`. Signals
// do not end the wait.
nlohmann::json request(ControlClient& client, const nlohmann::json& request,
                       std::chrono::milliseconds timeout = answerTimeout);

}  // namespace kestrel::control
