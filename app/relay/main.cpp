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
                        (devices, revoke and approve also work while no relay runs)
  config get KEY        show a setting: socket-override, hide-dock-icon, launch-at-login,
                        secret-store
  config set KEY VALUE  change a setting ("" clears socket-override; launch-at-login true
                        enables a systemd user unit; secret-store auto|file|secret-service
                        moves the keys at the relay's next start)
  agent                 the agent sockets looked for, and the one in use
  activity [--device ID-or-NAME]
                        the latest agent requests (up to 500, since the relay started): what
                        each signature was for, with which key, and how it ended
  device ID-or-NAME approval ask|allow
                        ask: each sign request of the device waits until you allow it
  device ID-or-NAME keys FINGERPRINT...|all
                        the keys the device may see and sign with (as ssh-add -l prints them)
  allow REQUEST-ID [--for-10-minutes]
  deny REQUEST-ID       answer a sign request waiting for you (see activity)

Every command takes --json (one JSON object per line) and --help; --version alone prints the
version.

Exit status: 0 done; 1 failed (no relay running, a store that cannot be written, a code that
expired); 2 bad arguments, or a request the relay finds wrong; 3 from pair: paired but held.

State: settings in $XDG_CONFIG_HOME/kestrel-relay, device keys in the Secret Service or in
$XDG_DATA_HOME/kestrel-relay, the control socket in $XDG_RUNTIME_DIR/kestrel-relay.
)";

// Each command's own --help.
constexpr const char* serveHelp =
    R"(usage: kestrel-relay serve [--port N] [--name NAME] [--secret-store auto|file|secret-service] [--json]

Runs the relay in the foreground until Ctrl-C or SIGTERM: it listens for paired devices,
advertises itself by DNS-SD through avahi-daemon, and forwards their "list keys" and "sign"
requests to this computer's SSH agent.

  --port N          the TCP port; 0 for any free one (default: the port it had last time,
                    or any free one at the first start or when that one is taken)
  --name NAME       the relay's name on the network (default: the host's name)
  --secret-store    where device keys go: auto (the Secret Service when one works, else a
                    file; the default), file, or secret-service
  --json            print the start as one JSON object

Only one relay (serve or kestrel-relay-tray) runs per user.
)";

constexpr const char* statusHelp = R"(usage: kestrel-relay status [--json]

Whether the relay runs, its port and how it was chosen, how it is advertised, pairing, the
paired and held devices, the key store, the last agent failure and the agent sockets.
)";

constexpr const char* pairHelp = R"(usage: kestrel-relay pair [--seconds N] [--json]

Opens pairing, shows the six-digit code and waits until a device has used it, the code
expires (default 120 s; --seconds from 1 to 3600) or Ctrl-C cancels it.

Exit status: 0 paired; 3 paired but held (other devices tried to pair around the same time;
on a terminal it asks whether the device is yours, then exits 0 once it is approved and 1
once revoked); 1 expired, cancelled or failed; 2 bad arguments.
)";

constexpr const char* cancelPairingHelp = R"(usage: kestrel-relay cancel-pairing [--json]

Closes pairing now; the open code stops working.
)";

constexpr const char* devicesHelp = R"(usage: kestrel-relay devices [--json]

The paired devices: name, ID, when each paired and was last used, and whether it is held.

While no relay runs, it acts on the stored devices directly (the next start goes by it).
)";

constexpr const char* revokeHelp = R"(usage: kestrel-relay revoke ID-or-NAME [--json]

Unpairs the device: its open connections end at once and its key is deleted.

While no relay runs, it acts on the stored devices directly (the next start goes by it).
)";

constexpr const char* approveHelp = R"(usage: kestrel-relay approve ID-or-NAME [--json]

Lets a held device use the agent. A device is held when other devices tried to pair around
the time it did; approve it only if it is yours, else revoke it.

While no relay runs, it acts on the stored devices directly (the next start goes by it).
)";

constexpr const char* configHelp = R"(usage: kestrel-relay config get KEY [--json]
       kestrel-relay config set KEY VALUE [--json]

Settings:
  socket-override   a custom agent socket path, absolute ("" for none)
  hide-dock-icon    true or false: the tray's panel stays out of the task bar
  launch-at-login   true or false: enables the systemd user unit of kestrel-relay serve
  secret-store      auto, file or secret-service: the keys move there at the next start
)";

constexpr const char* activityHelp = R"(usage: kestrel-relay activity [--device ID-or-NAME] [--json]

The latest agent requests of paired devices, oldest first: when, the request number, the
device, what it asked (list keys, or sign: what the signature is for and with which key) and
how it ended: answered, refused (by the relay: a held device, a request type that is not
relayed, a key the device may not use), agent failure, or denied (by you, or nobody allowed it
within 30 s). Then the sign requests waiting for you. The relay keeps the last 500 in memory
only, since it started.
)";

constexpr const char* deviceHelp =
    R"(usage: kestrel-relay device ID-or-NAME approval ask|allow [--json]
       kestrel-relay device ID-or-NAME keys FINGERPRINT...|all [--json]

approval ask    every sign request of the device waits, up to 30 s, until you allow it: from
                the notice, the desktop notification, or kestrel-relay allow REQUEST-ID
                (allow --for-10-minutes lets that device sign with that key without asking
                for 10 minutes); denied or unanswered requests fail
approval allow  the device signs without asking (the default)
keys FINGERPRINT...
                the device lists and signs with only these keys, given as ssh-add -l prints
                them (SHA256:...); its sign requests for any other key fail without reaching
                the agent; no fingerprint after keys lets it use none
keys all        every key of the agent (the default)

The settings are kept with the paired devices; devices --json shows them. While no relay
runs, they are changed in the stored settings (the next start goes by them).
)";

constexpr const char* allowHelp =
    R"(usage: kestrel-relay allow REQUEST-ID [--for-10-minutes] [--json]

Lets a sign request that waits for you go to the agent (see kestrel-relay activity for the
waiting requests and their numbers). --for-10-minutes also lets that device sign with that
key without asking for the next 10 minutes.
)";

constexpr const char* denyHelp = R"(usage: kestrel-relay deny REQUEST-ID [--json]

Refuses a sign request that waits for you: the device gets the agent's failure reply.
)";

constexpr const char* agentHelp = R"(usage: kestrel-relay agent [--json]

The agent sockets the relay looks for, in order, whether each exists, and the one in use.
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
    struct Command {
        int (*run)(const std::vector<std::string>&);
        const char* help;
    };
    const std::map<std::string, Command> commands = {
        {"serve", {runServeCommand, serveHelp}},
        {"status", {runStatus, statusHelp}},
        {"pair", {runPair, pairHelp}},
        {"cancel-pairing", {runCancelPairing, cancelPairingHelp}},
        {"devices", {runDevices, devicesHelp}},
        {"revoke", {runRevoke, revokeHelp}},
        {"approve", {runApprove, approveHelp}},
        {"config", {runConfig, configHelp}},
        {"agent", {runAgent, agentHelp}},
        {"activity", {runActivity, activityHelp}},
        {"device", {runDevice, deviceHelp}},
        {"allow", {runAllow, allowHelp}},
        {"deny", {runDeny, denyHelp}},
    };
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    const auto command = commands.find(all[0]);
    try {
        if (command == commands.end())
            throw UsageError("unknown command \"" + all[0] + "\" (see kestrel-relay --help)");
        for (const std::string& word : rest) {
            if (word == "--help" || word == "-h") {
                std::cout << command->second.help;
                return 0;
            }
        }
        return command->second.run(rest);
    } catch (const UsageError& error) {
        std::cerr << "kestrel-relay: " << error.what() << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kestrel-relay: " << error.what() << std::endl;
        return 1;
    }
}
