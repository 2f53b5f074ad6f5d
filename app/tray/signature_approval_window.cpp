#include "app/tray/signature_approval_window.hpp"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/tray/signature_notice_window.hpp"

namespace kestrel {

QString SignatureApprovalWindow::questionText(const QString& deviceName, const QString& detail) {
    return QStringLiteral("\u201C") + deviceName + QStringLiteral("\u201D asks to ") + detail +
           QStringLiteral(".");
}

SignatureApprovalWindow::SignatureApprovalWindow(const ApprovalPrompt& prompt, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      requestID_(prompt.requestID) {
    setObjectName("signatureApproval");
    setWindowTitle(QStringLiteral("SSH Signature Request"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setFixedWidth(420);

    QVBoxLayout* texts =
        SignatureNoticeWindow::layOutWithKey(this, QStringLiteral("Allow this SSH signature?"));
    auto* question = new QLabel(SignatureNoticeWindow::wrappable(questionText(
        QString::fromStdString(prompt.deviceName), QString::fromStdString(prompt.detail))));
    question->setObjectName("questionText");
    question->setTextFormat(Qt::PlainText);  // the names come from the device
    question->setWordWrap(true);
    texts->addWidget(question);
    auto* waits = new QLabel(QStringLiteral("It waits up to 30 seconds, then fails."));
    waits->setForegroundRole(QPalette::PlaceholderText);
    texts->addWidget(waits);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    const struct {
        const char* name;
        const char* text;
        ApprovalDecision decision;
    } choices[] = {
        {"denyButton", "Deny", ApprovalDecision::deny},
        {"allowForTenMinutesButton", "Allow for 10 minutes", ApprovalDecision::allowForTenMinutes},
        {"allowButton", "Allow", ApprovalDecision::allow},
    };
    for (const auto& choice : choices) {
        auto* button = new QPushButton(QString::fromUtf8(choice.text));
        button->setObjectName(choice.name);
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this,
                [this, decision = choice.decision] { answer(decision); });
        buttons->addWidget(button);
    }
    texts->addLayout(buttons);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void SignatureApprovalWindow::answer(ApprovalDecision decision) {
    for (QPushButton* button : findChildren<QPushButton*>()) button->setEnabled(false);
    Q_EMIT answered(requestID_, static_cast<int>(decision));
}

}  // namespace kestrel
