#pragma once

#include <memory>
#include <string>

#include "platform/notice_presenter.hpp"

namespace kestrel {

// Counts the sign requests in progress so that overlapping requests, from one device or several,
// share one notice: it comes up naming the device of the first request and goes away when the
// last one is answered. Relay thread only.
//
// Owned through a std::shared_ptr (see create), so that a Hold outliving the window, in the
// frame of a coroutine destroyed after the listener, does nothing instead of touching it.
class RelayApprovalWindow : public std::enable_shared_from_this<RelayApprovalWindow> {
public:
    // One sign request on screen: counted in when made, counted out when dropped, whichever way
    // the request ends (answered, failed, thrown through or its coroutine destroyed).
    class [[nodiscard]] Hold {
    public:
        Hold(Hold&& other) noexcept = default;
        Hold& operator=(Hold&&) = delete;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold();

    private:
        friend class RelayApprovalWindow;
        explicit Hold(std::weak_ptr<RelayApprovalWindow> window) : window_(std::move(window)) {}

        std::weak_ptr<RelayApprovalWindow> window_;
    };

    static std::shared_ptr<RelayApprovalWindow> create(NoticePresenter& presenter) {
        return std::shared_ptr<RelayApprovalWindow>(new RelayApprovalWindow(presenter));
    }

    // show, with the matching hide when the Hold is dropped.
    Hold hold(const std::string& deviceName, const std::string& detail);

    // detail: what the signature is for, and the key; the first request's is shown.
    void show(const std::string& deviceName, const std::string& detail);
    // An unmatched hide leaves the count at 0 and hides again.
    void hide();

    int pending() const noexcept { return pending_; }

private:
    explicit RelayApprovalWindow(NoticePresenter& presenter) : presenter_(presenter) {}

    NoticePresenter& presenter_;
    int pending_ = 0;
};

}  // namespace kestrel
