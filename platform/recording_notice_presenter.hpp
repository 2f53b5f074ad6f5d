#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/notice_presenter.hpp"

namespace kestrel {

// An in-memory notice presenter for unit tests: it records every call in order.
class RecordingNoticePresenter final : public NoticePresenter {
public:
    struct Call {
        enum class Kind { show, hide };
        Kind kind;
        std::string deviceName;  // empty for hide

        friend bool operator==(const Call&, const Call&) = default;
    };

    void showNotice(const std::string& deviceName) override {
        calls_.push_back({Call::Kind::show, deviceName});
    }
    void hideNotice() override { calls_.push_back({Call::Kind::hide, {}}); }

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
};

}  // namespace kestrel
