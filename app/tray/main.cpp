// kestrel-relay-tray: the relay with a face, in the desktop's system tray. The same relay as
// `kestrel-relay serve` (the CLI works against either), and one per user.

#include <QApplication>

#include <iostream>
#include <string>
#include <vector>

#include "app/common/arguments.hpp"
#include "app/relay/serve_command.hpp"
#include "app/tray/tray_app.hpp"

namespace {

using kestrel::cli::Arguments;
using kestrel::cli::UsageError;

constexpr const char* usage =
    R"(usage: kestrel-relay-tray [--port N] [--name NAME] [--secret-store auto|file|secret-service]

Lends this computer's SSH agent to devices paired with it, from the desktop's system tray:
click the key icon for the pairing code, the paired devices and the settings. Without a tray
the panel opens as a window. The relay starts with the app; `kestrel-relay status`, `pair`,
`devices`, `revoke`, `approve` and `config` work against it as against `kestrel-relay serve`.

  --port N          listen on this TCP port; 0 for any free one (default: the one it had
                    last time, or any free one when that is taken)
  --name NAME       the relay's name on the network (default: the host's name)
  --secret-store    where device keys go (default auto: the Secret Service when one works)
)";

kestrel::RelayRuntimeOptions parse(const std::vector<std::string>& words) {
    const Arguments arguments(words, kestrel::cli::runtimeOptionSpecs);
    arguments.expectPositional(0, "");
    return kestrel::cli::runtimeOptions(arguments);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    kestrel::RelayRuntimeOptions options;
    try {
        for (const std::string& word : words) {
            if (word == "--help" || word == "-h") {
                std::cout << usage;
                return 0;
            }
            if (word == "--version") {
                std::cout << "kestrel-relay-tray " KESTREL_VERSION "\n";
                return 0;
            }
        }
        options = parse(words);
    } catch (const UsageError& error) {
        std::cerr << "kestrel-relay-tray: " << error.what() << std::endl;
        return 2;
    }
    kestrel::RelayRuntime::prepareProcess();

    // Qt reads options of its own (-name, -display…) from what it is given: only the program.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrel-relay-tray"));
    QApplication::setDesktopFileName(QStringLiteral("kestrel-relay-tray"));
    // The app lives in the tray: closing the panel or the notice does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    kestrel::TrayApp tray({options, {}});
    // Without a tray the panel is the app's window; with one, the icon is enough.
    if (!kestrel::TrayApp::hasTray()) tray.showPanel();
    return QApplication::exec();
}
