#include "relay/relay_approval_window.hpp"

#include <exception>

namespace kestrel {

RelayApprovalWindow::Hold::~Hold() {
    const auto window = window_.lock();
    if (!window) return;
    try {
        window->hide();
    } catch (const std::exception&) {
        // The count is already down; a presenter that failed to take the notice away cannot be
        // helped from a destructor.
    }
}

RelayApprovalWindow::Hold RelayApprovalWindow::hold(const std::string& deviceName,
                                                    const std::string& detail) {
    show(deviceName, detail);
    return Hold(weak_from_this());
}

void RelayApprovalWindow::show(const std::string& deviceName, const std::string& detail) {
    // Counted once shown, so that a presenter that throws leaves no request counted.
    if (pending_ == 0) presenter_.showNotice(deviceName, detail);
    ++pending_;
}

void RelayApprovalWindow::hide() {
    if (pending_ > 0) --pending_;
    if (pending_ > 0) return;
    presenter_.hideNotice();
}

}  // namespace kestrel
