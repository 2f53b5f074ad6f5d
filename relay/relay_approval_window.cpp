#include "relay/relay_approval_window.hpp"

namespace kestrel {

void RelayApprovalWindow::show(const std::string& deviceName) {
    if (++pending_ > 1) return;
    presenter_.showNotice(deviceName);
}

void RelayApprovalWindow::hide() {
    if (pending_ > 0) --pending_;
    if (pending_ > 0) return;
    presenter_.hideNotice();
}

}  // namespace kestrel
