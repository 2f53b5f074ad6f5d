#pragma once

// The notice that a paired device is signing: a small always-on-top window naming the device,
// shown and hidden by the relay (which counts overlapping requests, so one notice serves them
// all). It never takes keyboard focus: the user keeps typing where they were, which on a Linux
// desktop stands in for handing focus back afterwards.

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace kestrel {

class SignatureNoticeWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int noticeWidth = 380;
    static constexpr int noticeHeight = 150;

    explicit SignatureNoticeWindow(QWidget* parent = nullptr);

    // Brings the notice up, centred on the screen, for the device, with what the signature is
    // for (detail); onePassword adds where to approve the request in 1Password.
    void present(const QString& deviceName, const QString& detail, bool onePassword);

    static QString deviceText(const QString& deviceName);
    // The text with break opportunities (zero-width spaces) inside each key fingerprint: at 50
    // characters without a space, one would run past the edge of a narrow window.
    static QString wrappable(const QString& text);
    // The layout both signature windows share: the key symbol on the left, and beside it a
    // column that starts with the bold headline; the column is returned for the rest.
    static QVBoxLayout* layOutWithKey(QWidget* window, const QString& headlineText);
    static const QString onePasswordText;

private:
    QLabel* device_;
    QLabel* detail_;
    QLabel* onePassword_;
};

}  // namespace kestrel
