#pragma once

#include <cstdio>
#include <string>

#include "platform/notice_presenter.hpp"

namespace kestrel {

// The signature notice of a relay without a GUI or a notification service: one line on a
// stream (standard error by default) when a notice is shown; hiding writes nothing. The stream
// is borrowed and must outlive the presenter.
class StderrNoticePresenter final : public NoticePresenter {
public:
    explicit StderrNoticePresenter(std::FILE* stream = stderr) noexcept : stream_(stream) {}

    // The notice line, then the detail on a line of its own.
    void showNotice(const std::string& deviceName, const std::string& detail) override;
    void hideNotice() override {}

    // The line showNotice writes, without the line break. Control characters in the name
    // (which the device chose) become U+FFFD, so that it cannot move the cursor, recolour or
    // retitle the user's terminal.
    static std::string noticeLine(const std::string& deviceName);

private:
    std::FILE* stream_;
};

}  // namespace kestrel
