#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/notice_presenter.hpp"

namespace kestrel {

// An in-memory notice presenter for unit tests: it records every call in order.
class RecordingNoticePresenter final : public NoticePresenter {
public:
    struct Call {
        enum class Kind { show, hide, ask, endAsk };
        Kind kind;
        std::string deviceName{};     // show and ask
        std::string detail{};         // show and ask
        std::uint64_t requestID = 0;  // ask and endAsk

        friend bool operator==(const Call&, const Call&) = default;
    };

    void showNotice(const std::string& deviceName, const std::string& detail) override {
        calls_.push_back({Call::Kind::show, deviceName, detail});
    }
    void hideNotice() override { calls_.push_back({Call::Kind::hide}); }
    void askApproval(const ApprovalPrompt& prompt) override {
        calls_.push_back({Call::Kind::ask, prompt.deviceName, prompt.detail, prompt.requestID});
    }
    void endApproval(std::uint64_t requestID) override {
        calls_.push_back({Call::Kind::endAsk, {}, {}, requestID});
    }
    void setApprovalHandler(ApprovalHandler handler) override { handler_ = std::move(handler); }
    // Answers as the user would, from the thread that calls it.
    void answer(std::uint64_t requestID, ApprovalDecision decision) const {
        if (handler_) handler_(requestID, decision);
    }

    const std::vector<Call>& calls() const noexcept { return calls_; }
    // Whether the last call was a show.
    bool isShowing() const noexcept {
        return !calls_.empty() && calls_.back().kind == Call::Kind::show;
    }
    // The name of the last show, if any.
    std::optional<std::string> lastShownName() const {
        for (auto call = calls_.rbegin(); call != calls_.rend(); ++call) {
            if (call->kind == Call::Kind::show) return call->deviceName;
        }
        return std::nullopt;
    }
    void clear() noexcept { calls_.clear(); }

private:
    std::vector<Call> calls_;
    ApprovalHandler handler_;
};

}  // namespace kestrel
