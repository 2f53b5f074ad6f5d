// The command line's side of the control socket, against a fake relay: a real Unix socket
// whose other end the test plays by hand, so that it can stay silent.

#include "app/relay/control_client.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "support/child_process.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

// A listening socket whose connections the test accepts and then leaves unanswered, as a relay
// whose thread is stuck would.
class SilentRelay {
public:
    explicit SilentRelay(std::string path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 4) != 0) {
            throw std::runtime_error("cannot listen on " + path_);
        }
    }
    ~SilentRelay() { ::close(fd_); }
    SilentRelay(const SilentRelay&) = delete;
    SilentRelay& operator=(const SilentRelay&) = delete;

    int accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

std::string failureOf(control::ControlClient& client, std::chrono::milliseconds limit) {
    try {
        control::request(client, {{"command", "status"}}, limit);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "answered";
}

TEST(ControlClient, ARelayThatNeverAnswersIsGivenUpOnWithOneLine) {
    const TemporaryDirectory directory;
    SilentRelay relay((directory.path() / "control.sock").string());

    auto silent = control::ControlClient::connect(relay.path());
    ASSERT_TRUE(silent);
    const int silentEnd = relay.accept();
    ASSERT_GE(silentEnd, 0);
    const auto started = std::chrono::steady_clock::now();
    const std::string message = failureOf(*silent, 300ms);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_NE(message.find("the relay does not answer"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    ::close(silentEnd);

    // Half an answer, then silence: the limit covers the whole answer, not each read.
    auto halting = control::ControlClient::connect(relay.path());
    ASSERT_TRUE(halting);
    const int accepted = relay.accept();
    ASSERT_GE(accepted, 0);
    ASSERT_EQ(::write(accepted, "{\"running\":", 11), 11);
    EXPECT_NE(failureOf(*halting, 300ms).find("does not answer"), std::string::npos);
    ::close(accepted);
}

}  // namespace
}  // namespace kestrel::testing
