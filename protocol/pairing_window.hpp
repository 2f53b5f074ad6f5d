#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

// How one pairing code may be used: open until it succeeds, expires, or has seen maxAttempts
// failed key confirmations. Pure state; the deadline belongs to the owner, which discards a
// closed window (a closed window never opens again).
class PairingWindow {
public:
    PairingWindow(std::string code, std::int64_t maxAttempts)
        : code_(std::move(code)), maxAttempts_(maxAttempts), attemptsRemaining_(maxAttempts) {}

    const std::string& code() const noexcept { return code_; }
    std::int64_t maxAttempts() const noexcept { return maxAttempts_; }
    std::int64_t attemptsRemaining() const noexcept { return attemptsRemaining_; }
    bool isOpen() const noexcept { return isOpen_; }

    // One failed key confirmation; the one that leaves no attempt closes the window.
    void recordFailure() noexcept;
    void recordSuccess() noexcept { isOpen_ = false; }
    void expire() noexcept { isOpen_ = false; }

private:
    std::string code_;
    std::int64_t maxAttempts_;
    std::int64_t attemptsRemaining_;
    bool isOpen_ = true;
};

}  // namespace kestrel
