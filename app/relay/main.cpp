// kestrel-relay: the relay without a GUI. `serve` runs it; the other subcommands talk to the
// running relay over its control socket.

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/common/arguments.hpp"
#include "app/relay/cli_commands.hpp"
#include "app/relay/serve_command.hpp"

namespace {

using namespace kestrel::cli;

constexpr const char* usage = R"(usage: kestrel-relay COMMAND [OPTIONS]

Lends this computer's SSH agent to devices paired with it.

Commands:
  serve [--port N] [--name NAME] [--secret-store auto|file|secret-service]
                        run the relay in the foreground (Ctrl-C stops it); it is advertised
                        by DNS-SD through avahi-daemon; device keys go to the Secret Service
                        when one works (auto), else to a file; without --port it asks
                        for the port it had last time, and takes any free one when that is
                        taken (--port 0: any free one)
  status                whether the relay runs, its port, pairing, devices and agent socket
  pair [--seconds N]    open pairing (default 120 s), show the code, wait for a device;
                        exits 3 when the device paired but is held
  cancel-pairing        close pairing now
  devices               the paired devices
  revoke ID-or-NAME     unpair a device and end its connections
  approve ID-or-NAME    let a held device use the agent (a device is held when other
                        devices tried to pair around the time it did)
  config get KEY        show a setting: socket-override, hide-dock-icon, launch-at-login,
                        secret-store
  config set KEY VALUE  change a setting ("" clears socket-override; launch-at-login true
                        enables a systemd user unit; secret-store auto|file|secret-service
                        moves the keys at the relay's next start)
  agent                 the agent sockets looked for, and the one in use

Every command takes --json (one JSON object per line) and --help; --version alone prints the
version.
State: settings in $XDG_CONFIG_HOME/kestrel-relay, device keys in the Secret Service or in
$XDG_DATA_HOME/kestrel-relay, the control socket in $XDG_RUNTIME_DIR/kestrel-relay.
)";

int runServeCommand(const std::vector<std::string>& words) {
    std::vector<OptionSpec> specs = runtimeOptionSpecs;
    specs.push_back({"json", false});
    const Arguments arguments(words, specs);
    arguments.expectPositional(0, "");
    const ServeOptions options{runtimeOptions(arguments), arguments.has("json")};
    return runServe(options);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.size() == 1 && all[0] == "--version") {
        std::cout << "kestrel-relay " KESTREL_VERSION "\n";
        return 0;
    }
    if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        (all.empty() ? std::cerr : std::cout) << usage;
        return all.empty() ? 2 : 0;
    }
    const std::map<std::string, int (*)(const std::vector<std::string>&)> commands = {
        {"serve", runServeCommand}, {"status", runStatus},
        {"pair", runPair},          {"cancel-pairing", runCancelPairing},
        {"devices", runDevices},    {"revoke", runRevoke},
        {"approve", runApprove},    {"config", runConfig},
        {"agent", runAgent},
    };
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    const auto command = commands.find(all[0]);
    try {
        if (command == commands.end())
            throw UsageError("unknown command \"" + all[0] + "\" (see kestrel-relay --help)");
        for (const std::string& word : rest) {
            if (word == "--help" || word == "-h") {
                std::cout << usage;
                return 0;
            }
        }
        return command->second(rest);
    } catch (const UsageError& error) {
        std::cerr << "kestrel-relay: " << error.what() << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kestrel-relay: " << error.what() << std::endl;
        return 1;
    }
}
