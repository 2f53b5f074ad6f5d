#pragma once

// The tray app's UI: the tray icon, the panel it opens and the signature notice, all on the
// Qt main thread, wired to the relay on its own thread through TrayRelay.

#include <QObject>

#include <memory>

#include "app/tray/relay_panel.hpp"
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
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool panelInTaskBar_ = true;
    // Declared last: its thread goes first, before the windows its signals reach.
    std::unique_ptr<TrayRelay> relay_;
};

}  // namespace kestrel
