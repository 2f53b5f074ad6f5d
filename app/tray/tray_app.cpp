#include "app/tray/tray_app.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>

// The icons are compiled into this static library; a program linking it must register them.
static void registerTrayResources() { Q_INIT_RESOURCE(tray); }

namespace kestrel {
namespace {

QIcon keyIcon(bool attention) {
    return QIcon(attention ? QStringLiteral(":/kestrel/kestrel-relay-attention.svg")
                           : QStringLiteral(":/kestrel/kestrel-relay.svg"));
}

}  // namespace

TrayApp::TrayApp(TrayRelay::Options options, QObject* parent)
    : QObject(parent),
      panel_(std::make_unique<RelayPanel>()),
      notice_(std::make_unique<SignatureNoticeWindow>()),
      activity_(std::make_unique<ActivityWindow>()) {
    registerTrayResources();
    panel_->setWindowIcon(keyIcon(false));
    panel_->installEventFilter(this);
    // Made whether or not a tray runs now: at login the app may start before the panel that
    // hosts the tray, and the icon appears once it does.
    trayIcon_ = new QSystemTrayIcon(keyIcon(false), this);
    trayIcon_->setToolTip(QStringLiteral("Kestrel Agent Relay"));
    menu_ = std::make_unique<QMenu>();
    connect(menu_->addAction(QStringLiteral("Open Kestrel Agent Relay")), &QAction::triggered, this,
            &TrayApp::showPanel);
    connect(menu_->addAction(QStringLiteral("Recent activity\u2026")), &QAction::triggered, this,
            &TrayApp::showActivity);
    connect(menu_->addAction(QStringLiteral("Quit Relay")), &QAction::triggered, qApp,
            &QApplication::quit);
    trayIcon_->setContextMenu(menu_.get());
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger) return;
                if (panel_->isVisible()) {
                    panel_->hide();
                } else {
                    showPanel();
                }
            });
    trayIcon_->show();

    relay_ = std::make_unique<TrayRelay>(std::move(options));
    TrayRelay* relay = relay_.get();
    connect(relay, &TrayRelay::stateChanged, this, &TrayApp::applyState);
    connect(relay, &TrayRelay::noticeShown, notice_.get(), &SignatureNoticeWindow::present);
    connect(relay, &TrayRelay::noticeHidden, notice_.get(), &QWidget::hide);
    connect(relay, &TrayRelay::activityChanged, activity_.get(), &ActivityWindow::setRows);
    connect(activity_.get(), &ActivityWindow::hidden, relay, &TrayRelay::stopActivity);
    connect(relay, &TrayRelay::approvalAsked, this,
            [this](quint64 requestID, const QString& deviceName, const QString& detail) {
                auto window = std::make_unique<SignatureApprovalWindow>(
                    ApprovalPrompt{requestID, deviceName.toStdString(), detail.toStdString()});
                connect(window.get(), &SignatureApprovalWindow::answered, relay_.get(),
                        &TrayRelay::answerApproval);
                window->show();
                window->raise();
                approvals_[requestID] = std::move(window);
            });
    connect(relay, &TrayRelay::approvalEnded, this,
            [this](quint64 requestID) { approvals_.erase(requestID); });

    RelayPanel* panel = panel_.get();
    // Showing the panel tries again a start that failed (a port that was taken, say).
    connect(panel, &RelayPanel::shown, relay, &TrayRelay::start);
    connect(panel, &RelayPanel::pairRequested, relay, &TrayRelay::startPairing);
    connect(panel, &RelayPanel::cancelPairingRequested, relay, &TrayRelay::cancelPairing);
    connect(panel, &RelayPanel::revokeRequested, relay, &TrayRelay::revoke);
    connect(panel, &RelayPanel::allowRequested, relay, &TrayRelay::approve);
    connect(panel, &RelayPanel::launchAtLoginToggled, relay, &TrayRelay::setLaunchAtLogin);
    connect(panel, &RelayPanel::hideDockIconToggled, relay, &TrayRelay::setHideDockIcon);
    connect(panel, &RelayPanel::socketOverrideEdited, relay, &TrayRelay::setSocketOverride);
    connect(panel, &RelayPanel::quitRequested, qApp, &QApplication::quit);
}

// The relay stops before the windows go.
TrayApp::~TrayApp() { relay_.reset(); }

bool TrayApp::hasTray() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TrayApp::showActivity() {
    relay_->refreshActivity();
    activity_->show();
    activity_->raise();
    activity_->activateWindow();
}

void TrayApp::showPanel() {
    if (hasTray()) {
        // Beside the icon when the tray says where it is, else where the user clicked.
        const QRect icon = trayIcon_->geometry();
        const QPoint anchor = icon.isValid() ? icon.bottomLeft() : QCursor::pos();
        const QScreen* screen = QGuiApplication::screenAt(anchor);
        if (screen == nullptr) screen = QGuiApplication::primaryScreen();
        panel_->adjustSize();
        QRect frame(anchor, panel_->size());
        if (screen != nullptr) {
            const QRect area = screen->availableGeometry();
            frame.moveRight(std::min(frame.right(), area.right()));
            frame.moveBottom(std::min(frame.bottom(), area.bottom()));
            frame.moveLeft(std::max(frame.left(), area.left()));
            frame.moveTop(std::max(frame.top(), area.top()));
        }
        panel_->move(frame.topLeft());
    }
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
}

bool TrayApp::eventFilter(QObject* watched, QEvent* event) {
    // Without a tray the panel is the app's only way back in: closing it keeps it in the task
    // bar instead of leaving a relay the user cannot reach.
    if (watched == panel_.get() && event->type() == QEvent::Close && !hasTray()) {
        event->ignore();
        panel_->showMinimized();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void TrayApp::applyState(const RelayState& state) {
    panel_->setState(state);
    const bool waiting = state.hasHeldDevice();
    trayIcon_->setIcon(keyIcon(waiting));
    trayIcon_->setToolTip(waiting
                              ? QStringLiteral("Kestrel Agent Relay: a device waits for approval")
                          : state.isRunning ? QStringLiteral("Kestrel Agent Relay: running")
                                            : QStringLiteral("Kestrel Agent Relay: stopped"));
    // Without a tray the task bar is the only way back to the panel.
    setPanelInTaskBar(!state.hideDockIcon || !hasTray());
}

// A tool window stays out of the task bar; changing the kind takes the window down and up.
void TrayApp::setPanelInTaskBar(bool inTaskBar) {
    if (inTaskBar == panelInTaskBar_) return;
    panelInTaskBar_ = inTaskBar;
    const bool visible = panel_->isVisible();
    panel_->setWindowFlag(Qt::Tool, !inTaskBar);
    if (visible) panel_->show();
}

}  // namespace kestrel
