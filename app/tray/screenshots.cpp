// kestrel-tray-screenshots DIR: renders the tray's panel in each of its states, and the
// signature notice, the question of a device that asks first and the recent activity, to PNG
// files in DIR (on Qt's offscreen platform unless told otherwise).
// The states are made up here; the widgets are the app's own.

#include <QApplication>
#include <QDir>
#include <QImage>

#include <chrono>
#include <cstdlib>
#include <iostream>

#include "app/tray/activity_window.hpp"
#include "app/tray/relay_panel.hpp"
#include "app/tray/signature_approval_window.hpp"
#include "app/tray/signature_notice_window.hpp"

namespace {

using namespace std::chrono_literals;
using kestrel::DeviceRow;
using kestrel::RelayState;

RelayState running() {
    RelayState state;
    state.isRunning = true;
    state.relayName = "workstation";
    state.agentSocket = "/run/user/1000/ssh-agent.socket";
    return state;
}

bool save(QWidget& widget, const QDir& directory, const QString& name) {
    widget.show();
    QApplication::processEvents();
    const QString path = directory.filePath(name + ".png");
    if (!widget.grab().save(path)) {
        std::cerr << "kestrel-tray-screenshots: cannot write " << path.toStdString() << "\n";
        return false;
    }
    std::cout << path.toStdString() << "\n";
    widget.hide();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: kestrel-tray-screenshots DIRECTORY\n";
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(directory.path())) {
        std::cerr << "kestrel-tray-screenshots: cannot create " << argv[1] << "\n";
        return 1;
    }
    const kestrel::Date now = std::chrono::system_clock::now();

    RelayState stopped = running();
    stopped.isRunning = false;
    stopped.agentSocket.reset();
    RelayState pairing = running();
    pairing.pairingCode = "042917";
    RelayState devices = running();
    devices.devices = {
        {"1", "Pixel 8", now - 2h, false, {}, {}},
        {"2", "iPad", std::nullopt, false, {}, {}},
    };
    RelayState held = devices;
    held.devices.push_back({"3",
                            "Galaxy S24",
                            std::nullopt,
                            true,
                            {"1 pairing attempt from 192.168.1.77 while this code was open"},
                            {}});
    RelayState longSocket = devices;
    longSocket.agentSocket =
        "/home/user/.var/app/com.example.Vault/data/"
        "com.example.PasswordVault.ssh-agent.main-profile.workstation.sock";
    longSocket.socketOverride = *longSocket.agentSocket;

    const std::pair<const char*, RelayState> states[] = {
        {"panel-stopped", stopped}, {"panel-running", running()}, {"panel-pairing", pairing},
        {"panel-devices", devices}, {"panel-held", held},         {"panel-long-socket", longSocket},
    };
    bool ok = true;
    for (const auto& [name, state] : states) {
        kestrel::RelayPanel panel;
        panel.setClock([now] { return now; });
        panel.setState(state);
        ok = save(panel, directory, name) && ok;
    }
    kestrel::SignatureNoticeWindow notice;
    const QString detail = QStringLiteral(
        "log in as \u201Cgit\u201D with \u201Cada@laptop\u201D "
        "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo");
    notice.present(QStringLiteral("Pixel 8"), detail, false);
    ok = save(notice, directory, "notice") && ok;
    notice.present(QStringLiteral("Pixel 8"), detail, true);
    ok = save(notice, directory, "notice-1password") && ok;
    kestrel::SignatureApprovalWindow question({7, "Pixel 8", detail.toStdString()});
    ok = save(question, directory, "approval") && ok;
    kestrel::ActivityWindow activity;
    activity.setRows({
        {"2026-12-11 09:58:02", "Pixel 8", "list keys", "answered"},
        {"2026-12-11 09:58:02", "Pixel 8", "sign: " + detail, "answered"},
        {"2026-12-11 10:02:40", "Pixel 8",
         "sign: sign for \u201Cgit\u201D (a Git commit or tag) with \u201C"
         "ada@laptop\u201D "
         "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo",
         "denied (by the user)"},
    });
    ok = save(activity, directory, "activity") && ok;
    return ok ? 0 : 1;
}
