#pragma once

// The question for one sign request of a device set to ask first: what the signature is for,
// and Allow, Allow for 10 minutes or Deny. Always on top, like the notice, and like it never
// takes keyboard focus: a key pressed while typing elsewhere must not answer it, so only a click
// does. The relay takes it down when the request stops waiting.

#include <QWidget>

#include <cstdint>

#include "platform/notice_presenter.hpp"

namespace kestrel {

class SignatureApprovalWindow : public QWidget {
    Q_OBJECT

public:
    explicit SignatureApprovalWindow(const ApprovalPrompt& prompt, QWidget* parent = nullptr);

    std::uint64_t requestID() const noexcept { return requestID_; }
    static QString questionText(const QString& deviceName, const QString& detail);

Q_SIGNALS:
    // One answer per window; the buttons are disabled once it is given.
    void answered(quint64 requestID, int decision);  // an ApprovalDecision

private:
    void answer(ApprovalDecision decision);

    std::uint64_t requestID_;
};

}  // namespace kestrel
