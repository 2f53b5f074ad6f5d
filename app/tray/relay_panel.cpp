#include "app/tray/relay_panel.hpp"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "app/tray/usage_line.hpp"

namespace kestrel {
namespace {

constexpr int padding = 14;
constexpr int spacing = 12;

// The desktop's text styles, sized relative to its base font as the system styles are
// (caption a little smaller than body text, the large title about twice its size).
enum class TextStyle { largeTitle, headline, callout, caption, caption2 };

QFont fontFor(TextStyle style, QFont font = QFont()) {
    const double base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    switch (style) {
        case TextStyle::largeTitle: font.setPointSizeF(base * 2); break;
        case TextStyle::headline: font.setWeight(QFont::DemiBold); break;
        case TextStyle::callout: font.setPointSizeF(base * 0.95); break;
        case TextStyle::caption: font.setPointSizeF(base * 0.85); break;
        case TextStyle::caption2: font.setPointSizeF(base * 0.8); break;
    }
    return font;
}

QLabel* label(const QString& text, TextStyle style, bool secondary, const char* name) {
    auto* result = new QLabel(text);
    result->setObjectName(name);
    result->setFont(fontFor(style));
    if (secondary) result->setForegroundRole(QPalette::PlaceholderText);
    result->setTextFormat(Qt::PlainText);
    return result;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QPushButton* smallButton(const QString& text, const char* name) {
    auto* button = new QPushButton(text);
    button->setObjectName(name);
    button->setFont(fontFor(TextStyle::caption));
    button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    return button;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

MiddleElidedLabel::MiddleElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void MiddleElidedLabel::setFullText(const QString& text) {
    fullText_ = text;
    setToolTip(text);
    elide();
}

void MiddleElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void MiddleElidedLabel::elide() {
    setText(fontMetrics().elidedText(fullText_, Qt::ElideMiddle, width()));
}

RelayPanel::RelayPanel(QWidget* parent)
    : QWidget(parent), now_([] { return std::chrono::system_clock::now(); }) {
    setWindowTitle(QStringLiteral("Kestrel Agent Relay"));
    setFixedWidth(panelWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(spacing);

    // Status row.
    auto* status = new QHBoxLayout;
    statusDot_ = new QLabel;
    statusDot_->setObjectName("statusDot");
    statusDot_->setFixedSize(8, 8);
    statusTitle_ = label({}, TextStyle::headline, false, "statusTitle");
    relayName_ = label({}, TextStyle::caption, true, "relayName");
    status->addWidget(statusDot_, 0, Qt::AlignVCenter);
    status->addWidget(statusTitle_, 0, Qt::AlignVCenter);
    status->addStretch();
    status->addWidget(relayName_, 0, Qt::AlignVCenter);
    layout->addLayout(status);
    startError_ = label({}, TextStyle::caption, true, "startError");
    startError_->setWordWrap(true);
    layout->addWidget(startError_);
    layout->addWidget(divider());

    // Pairing: the code while a window is open, else the button that opens one.
    codeSection_ = new QWidget;
    auto* code = new QVBoxLayout(codeSection_);
    code->setContentsMargins(0, 0, 0, 0);
    code->setSpacing(6);
    code->addWidget(label(QStringLiteral("Pairing code"), TextStyle::caption, true, "codeHeading"));
    pairingCode_ = label({}, TextStyle::largeTitle, false, "pairingCode");
    QFont codeFont =
        fontFor(TextStyle::largeTitle, QFontDatabase::systemFont(QFontDatabase::FixedFont));
    codeFont.setWeight(QFont::DemiBold);
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    pairingCode_->setFont(codeFont);
    pairingCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    code->addWidget(pairingCode_);
    code->addWidget(label(QStringLiteral("Enter this in Kestrel to pair a device."),
                          TextStyle::caption, true, "codeHint"));
    QPushButton* cancel = smallButton(QStringLiteral("Cancel Pairing"), "cancelPairingButton");
    code->addWidget(cancel);
    connect(cancel, &QPushButton::clicked, this, &RelayPanel::cancelPairingRequested);
    layout->addWidget(codeSection_);
    pairButton_ = new QPushButton(QIcon::fromTheme(QStringLiteral("list-add")),
                                  QStringLiteral("Pair New Device\u2026"));
    pairButton_->setObjectName("pairButton");
    pairButton_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    connect(pairButton_, &QPushButton::clicked, this, &RelayPanel::pairRequested);
    layout->addWidget(pairButton_);
    pairingMessage_ = label({}, TextStyle::caption, true, "pairingMessage");
    pairingMessage_->setWordWrap(true);
    layout->addWidget(pairingMessage_);
    layout->addWidget(divider());

    // Paired devices.
    auto* devicesSection = new QVBoxLayout;
    devicesSection->setSpacing(6);
    devicesSection->addWidget(
        label(QStringLiteral("Paired Devices"), TextStyle::caption, true, "devicesHeading"));
    devicesLayout_ = devicesSection;
    layout->addLayout(devicesSection);
    layout->addWidget(divider());

    // Settings.
    auto* settings = new QVBoxLayout;
    settings->setSpacing(8);
    launchAtLogin_ = new QCheckBox(QStringLiteral("Launch at login"));
    launchAtLogin_->setObjectName("launchAtLogin");
    connect(launchAtLogin_, &QCheckBox::clicked, this, &RelayPanel::launchAtLoginToggled);
    hideDockIcon_ = new QCheckBox(QStringLiteral("Hide Dock icon"));
    hideDockIcon_->setObjectName("hideDockIcon");
    connect(hideDockIcon_, &QCheckBox::clicked, this, &RelayPanel::hideDockIconToggled);
    settings->addWidget(launchAtLogin_);
    settings->addWidget(hideDockIcon_);
    auto* socketLine = new QHBoxLayout;
    socketLine->addWidget(
        label(QStringLiteral("Agent socket"), TextStyle::caption, true, "agentSocketHeading"));
    socketLine->addSpacing(8);
    agentSocket_ = new MiddleElidedLabel;
    agentSocket_->setObjectName("agentSocketName");
    agentSocket_->setFont(fontFor(TextStyle::caption));
    agentSocket_->setForegroundRole(QPalette::PlaceholderText);
    socketLine->addWidget(agentSocket_, 1);
    settings->addLayout(socketLine);
    socketOverride_ = new QLineEdit;
    socketOverride_->setObjectName("socketOverride");
    socketOverride_->setPlaceholderText(QStringLiteral("Custom socket path (optional)"));
    socketOverride_->setFont(fontFor(TextStyle::caption));
    socketOverride_->setClearButtonEnabled(true);
    connect(socketOverride_, &QLineEdit::textEdited, this, [this](const QString& text) {
        sentOverrides_.push_back(text);
        Q_EMIT socketOverrideEdited(text);
    });
    settings->addWidget(socketOverride_);
    QPushButton* quit = smallButton(QStringLiteral("Quit Relay"), "quitButton");
    connect(quit, &QPushButton::clicked, this, &RelayPanel::quitRequested);
    settings->addWidget(quit);
    layout->addLayout(settings);

    setState(state_);
}

void RelayPanel::setClock(std::function<Date()> now) {
    now_ = std::move(now);
    redrawDevices();
}

void RelayPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Q_EMIT shown();
}

void RelayPanel::setState(const RelayState& state) {
    state_ = state;
    statusDot_->setStyleSheet(state.isRunning ? "background: #34c759; border-radius: 4px;"
                                              : "background: #8e8e93; border-radius: 4px;");
    statusTitle_->setText(state.isRunning ? QStringLiteral("Relay running")
                                          : QStringLiteral("Relay stopped"));
    relayName_->setText(qt(state.relayName));
    const std::string& problem = state.startError.empty() ? state.problem : state.startError;
    startError_->setText(qt(problem));
    startError_->setVisible(!problem.empty());

    codeSection_->setVisible(state.pairingCode.has_value());
    pairingCode_->setText(qt(state.pairingCode.value_or("")));
    pairButton_->setVisible(!state.pairingCode);
    pairButton_->setEnabled(state.isRunning);
    pairingMessage_->setText(qt(state.pairingMessage));
    pairingMessage_->setVisible(!state.pairingCode && !state.pairingMessage.empty());

    redrawDevices();

    {
        const QSignalBlocker blockLaunch(launchAtLogin_);
        const QSignalBlocker blockDock(hideDockIcon_);
        launchAtLogin_->setChecked(state.launchAtLogin);
        hideDockIcon_->setChecked(state.hideDockIcon);
    }
    agentSocket_->setFullText(
        state.agentSocket ? qt(std::filesystem::path(*state.agentSocket).filename().string())
                          : QStringLiteral("not found"));
    // The field is the truth while its edits are on their way to the relay: a state that
    // carries one of them is an echo and must not undo typing that followed it. Any other
    // value was set elsewhere (the CLI) and is shown.
    const QString stored = qt(state.socketOverride);
    const auto echo = std::find(sentOverrides_.begin(), sentOverrides_.end(), stored);
    if (echo != sentOverrides_.end()) {
        sentOverrides_.erase(sentOverrides_.begin(), echo);
    } else {
        sentOverrides_.clear();
        if (socketOverride_->text() != stored) socketOverride_->setText(stored);
    }
    // Rows come and go: the window follows its content's height.
    if (isWindow()) adjustSize();
}

void RelayPanel::redrawDevices() {
    delete devices_;
    devices_ = new QWidget;
    devices_->setObjectName("devices");
    auto* rows = new QVBoxLayout(devices_);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    if (state_.devices.empty()) {
        rows->addWidget(label(QStringLiteral("None yet."), TextStyle::callout, true, "noDevices"));
    }
    for (const DeviceRow& device : state_.devices) rows->addWidget(deviceRow(device));
    devicesLayout_->addWidget(devices_);
    devices_->show();  // at once, not at the layout's next pass
}

QWidget* RelayPanel::deviceRow(const DeviceRow& device) {
    const QString id = qt(device.deviceID);
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("device:") + id);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    texts->addWidget(label(qt(device.displayName), TextStyle::callout, false, "deviceName"));
    texts->addWidget(
        label(qt(usageLine(device.lastUsedAt, now_())), TextStyle::caption2, true, "usageLine"));
    if (!device.unavailable.empty()) {
        texts->addWidget(label(qt(device.unavailable), TextStyle::caption2, true, "unavailable"));
    }
    line->addLayout(texts, 1);

    if (!device.held) {
        auto* trash = new QToolButton;
        trash->setObjectName("revokeButton");
        trash->setIcon(QIcon::fromTheme(QStringLiteral("user-trash"),
                                        QIcon(QStringLiteral(":/kestrel/trash.svg"))));
        trash->setAutoRaise(true);
        trash->setToolTip(QStringLiteral("Revoke this device"));
        connect(trash, &QToolButton::clicked, this, [this, id] { Q_EMIT revokeRequested(id); });
        line->addWidget(trash, 0, Qt::AlignVCenter);
        return row;
    }

    // A held device: why it is held, and the user's two answers.
    for (const std::string& evidence : device.evidence) {
        QLabel* why = label(qt(evidence), TextStyle::caption2, false, "evidence");
        why->setWordWrap(true);
        why->setStyleSheet(QStringLiteral("color: #c4620a;"));
        texts->addWidget(why);
    }
    auto* answers = new QHBoxLayout;
    QPushButton* allow = smallButton(QStringLiteral("Allow"), "allowButton");
    QPushButton* revoke = smallButton(QStringLiteral("Revoke"), "revokeButton");
    connect(allow, &QPushButton::clicked, this, [this, id] { Q_EMIT allowRequested(id); });
    connect(revoke, &QPushButton::clicked, this, [this, id] { Q_EMIT revokeRequested(id); });
    answers->addWidget(allow);
    answers->addWidget(revoke);
    answers->addStretch();
    texts->addLayout(answers);
    return row;
}

}  // namespace kestrel
