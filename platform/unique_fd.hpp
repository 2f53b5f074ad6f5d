#pragma once

// A move-only owner of a POSIX file descriptor, and the error helper the platform's POSIX code
// shares. Used by the layers above and the tests too; namespace detail because it is no part
// of the relay's own vocabulary.

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace kestrel::detail {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Closes now and reports close's own error (which, after writes, can mean lost data);
    // the destructor ignores it.
    int close() noexcept {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Throws std::system_error for errno value `error`; what() reads "<what>: <strerror>".
[[noreturn]] inline void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

}  // namespace kestrel::detail
