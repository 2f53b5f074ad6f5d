#pragma once

// The tray app's UI: the tray icon, the panel it opens and the signature notice, all on the
// Qt main thread, wired to the relay on its own thread through TrayRelay.

#include <QObject>

#include <map>
#include <memory>

#include "app/tray/activity_window.hpp"
#include "app/tray/relay_panel.hpp"
#include "app/tray/signature_approval_window.hpp"
#include "app/tray/signature_notice_window.hpp"
#include "app/tray/tray_relay.hpp"

class QMenu;
class QSystemTrayIcon;

namespace kestrel {

class TrayApp : public QObject {
    Q_OBJECT

public:
    explicit TrayApp(TrayRelay::Options options, QObject* parent = nullptr);
    ~TrayApp() override;

    // Opens the panel: beside the tray icon, or as a normal window when the desktop has no tray.
    void showPanel();

    TrayRelay& relay() noexcept { return *relay_; }
    RelayPanel& panel() noexcept { return *panel_; }
    SignatureNoticeWindow& notice() noexcept { return *notice_; }
    ActivityWindow& activityWindow() noexcept { return *activity_; }
    // The questions of sign requests waiting for the user, by request.
    const std::map<std::uint64_t, std::unique_ptr<SignatureApprovalWindow>>& approvals() const {
        return approvals_;
    }
    // "Recent activity…" in the icon's menu.
    void showActivity();
    const QMenu& menu() const noexcept { return *menu_; }
    const QSystemTrayIcon& trayIcon() const noexcept { return *trayIcon_; }
    // Whether a tray host runs now.
    static bool hasTray();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyState(const RelayState& state);
    void setPanelInTaskBar(bool inTaskBar);

    std::unique_ptr<RelayPanel> panel_;
    std::unique_ptr<SignatureNoticeWindow> notice_;
    std::unique_ptr<ActivityWindow> activity_;
    std::map<std::uint64_t, std::unique_ptr<SignatureApprovalWindow>> approvals_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool panelInTaskBar_ = true;
    // Declared last: its thread goes first, before the windows its signals reach.
    std::unique_ptr<TrayRelay> relay_;
};

}  // namespace kestrel
