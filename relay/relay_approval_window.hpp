#pragma once

#include <string>

#include "platform/notice_presenter.hpp"

namespace kestrel {

// Counts the sign requests in progress so that overlapping requests, from one device or several,
// share one notice: it comes up naming the device of the first request and goes away when the
// last one is answered. Relay thread only.
class RelayApprovalWindow {
public:
    explicit RelayApprovalWindow(NoticePresenter& presenter) : presenter_(presenter) {}

    void show(const std::string& deviceName);
    // An unmatched hide leaves the count at 0 and hides again.
    void hide();

    int pending() const noexcept { return pending_; }

private:
    NoticePresenter& presenter_;
    int pending_ = 0;
};

}  // namespace kestrel
