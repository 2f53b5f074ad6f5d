#include "app/tray/signature_notice_window.hpp"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrel {

const QString SignatureNoticeWindow::onePasswordText = QStringLiteral(
    "Approve it in 1Password \u2014 if no dialog appears, click the 1Password icon in the menu "
    "bar (look for the small dot) and open the waiting request.");

QString SignatureNoticeWindow::deviceText(const QString& deviceName) {
    return QStringLiteral("\u201C") + deviceName +
           QStringLiteral("\u201D is connecting and needs to sign with a key in your agent.");
}

QString SignatureNoticeWindow::wrappable(const QString& text) {
    static const QString prefix = QStringLiteral("SHA256:");
    constexpr int piece = 13;
    QString result;
    qsizetype from = 0;
    for (qsizetype at; (at = text.indexOf(prefix, from)) != -1;) {
        qsizetype end = text.indexOf(QLatin1Char(' '), at);
        if (end == -1) end = text.size();
        result += text.mid(from, at - from);
        for (qsizetype part = at; part < end; part += piece) {
            if (part != at) result += QChar(0x200B);
            result += text.mid(part, std::min<qsizetype>(piece, end - part));
        }
        from = end;
    }
    return result + text.mid(from);
}

QVBoxLayout* SignatureNoticeWindow::layOutWithKey(QWidget* window, const QString& headlineText) {
    auto* layout = new QHBoxLayout(window);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* key = new QLabel;
    key->setObjectName("keySymbol");
    key->setPixmap(QIcon(QStringLiteral(":/kestrel/kestrel-relay.svg")).pixmap(40, 40));
    layout->addWidget(key, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(6);
    auto* headline = new QLabel(headlineText);
    headline->setObjectName("headline");
    QFont bold = headline->font();
    bold.setWeight(QFont::DemiBold);
    headline->setFont(bold);
    texts->addWidget(headline);
    layout->addLayout(texts, 1);
    return texts;
}

SignatureNoticeWindow::SignatureNoticeWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("signatureNotice");
    setWindowTitle(QStringLiteral("SSH Signature Request"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(noticeWidth, noticeHeight);

    QVBoxLayout* texts = layOutWithKey(this, QStringLiteral("SSH signature requested"));
    device_ = new QLabel;
    device_->setObjectName("deviceText");
    detail_ = new QLabel;
    detail_->setObjectName("detailText");
    onePassword_ = new QLabel(onePasswordText);
    onePassword_->setObjectName("onePasswordText");
    for (QLabel* text : {device_, detail_, onePassword_}) {
        text->setTextFormat(Qt::PlainText);
        text->setWordWrap(true);
        text->setForegroundRole(QPalette::PlaceholderText);
        texts->addWidget(text);
    }
    QFont small = onePassword_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    onePassword_->setFont(small);
    detail_->setForegroundRole(QPalette::WindowText);
    texts->addStretch();
}

void SignatureNoticeWindow::present(const QString& deviceName, const QString& detail,
                                    bool onePassword) {
    device_->setText(deviceText(deviceName));
    detail_->setText(wrappable(detail));
    detail_->setVisible(!detail.isEmpty());
    onePassword_->setVisible(onePassword);
    // Taller than usual only when the texts need it (a long key comment, the 1Password line).
    setMinimumSize(noticeWidth, noticeHeight);
    setMaximumSize(noticeWidth, QWIDGETSIZE_MAX);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
}

}  // namespace kestrel
