#include "protocol/pairing_window.hpp"

#include <limits>

namespace kestrel {

void PairingWindow::recordFailure() noexcept {
    if (!isOpen_) return;
    if (attemptsRemaining_ > std::numeric_limits<std::int64_t>::min()) --attemptsRemaining_;
    if (attemptsRemaining_ <= 0) isOpen_ = false;
}

}  // namespace kestrel
