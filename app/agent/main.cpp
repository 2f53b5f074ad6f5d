// kestrel-agent: pairs this computer with a Kestrel relay as a device, then serves a local SSH
// agent socket whose requests the relay answers with the agent of the computer it runs on.

#include <sys/prctl.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/agent/agent_commands.hpp"
#include "app/common/arguments.hpp"

namespace {

constexpr const char* usage = R"usage(usage: kestrel-agent COMMAND [OPTIONS]

Uses a paired Kestrel relay as this computer's SSH agent: the keys stay on the relay's computer.

Commands:
  pair [--relay HOST:PORT | --relay-name NAME] [--name NAME] [--code CODE] [--replace]
                        pair with a relay that shows a code (`kestrel-relay pair` there);
                        without --relay, finds relays on the local network by DNS-SD
                        (avahi-daemon) and takes the only one, the one named, or asks;
                        without --code, asks for it
  serve [--socket PATH] [--relay NAME-or-ID] [-D]
                        serve an agent socket (default $XDG_RUNTIME_DIR/kestrel-agent/agent.sock)
                        for the relay paired most recently, or the one named; prints
                        SSH_AUTH_SOCK=...; for eval "$(kestrel-agent serve)"; -D stays in the
                        foreground; when the relay is no longer at its stored address,
                        finds it again by name on the local network
  list [--json]         the paired relays
  forget NAME-or-ID     forget a paired relay

Every command takes --help; --version alone prints the version.

Exit status: 0 done, 1 failed, 2 bad arguments.

State: the paired relays in $XDG_CONFIG_HOME/kestrel-agent, their keys in
$XDG_DATA_HOME/kestrel-agent.
)usage";

constexpr const char* pairHelp =
    R"help(usage: kestrel-agent pair [--relay HOST:PORT | --relay-name NAME] [--name NAME] [--code CODE] [--replace]

Pairs this computer with a relay as a device. On the relay's computer, `kestrel-relay pair`
(or the tray's "Pair New Device…") shows a six-digit code that works once.

  --relay HOST:PORT   the relay's address; without it and without --relay-name, relays are
                      looked up on the local network by DNS-SD (avahi-daemon) and the only
                      one is taken, or the user picks one
  --relay-name NAME   the relay advertised under this name
  --name NAME         this device's name on the relay (default: this computer's name)
  --code CODE         the code (spaces and hyphens allowed); without it, it is asked for
  --replace           pair again with a relay this computer is already paired with; the old
                      device stays listed on the relay until `kestrel-relay revoke` there
                      (without --replace, a terminal asks and anything else refuses)
)help";

constexpr const char* serveHelp =
    R"help(usage: kestrel-agent serve [--socket PATH] [--relay NAME-or-ID] [-D]

Serves an SSH agent socket whose "list keys" and "sign" requests go to a paired relay. Prints
the lines for eval "$(kestrel-agent serve)", as ssh-agent -s does, then goes to the
background; other agent requests are refused.

  --socket PATH       the socket (default $XDG_RUNTIME_DIR/kestrel-agent/agent.sock)
  --relay NAME-or-ID  the relay, by its name or this device's ID on it (default: the relay
                      paired most recently)
  -D, --foreground    stay in the foreground; Ctrl-C stops it

When the relay is no longer at its stored address, it is found again by name on the local
network and the new address is stored.
)help";

constexpr const char* listHelp = R"help(usage: kestrel-agent list [--json]

The relays this computer is paired with: name, address, this device's ID and when it paired.
--json prints one JSON array ([] when none is paired).
)help";

constexpr const char* forgetHelp = R"help(usage: kestrel-agent forget NAME-or-ID

Forgets a paired relay and deletes this device's key for it. The relay keeps listing the
device until `kestrel-relay revoke` is run there.
)help";

}  // namespace

int main(int argc, char** argv) {
    // This process holds device keys: no core dumps, no tracing by other processes.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.size() == 1 && all[0] == "--version") {
        std::cout << "kestrel-agent " KESTREL_VERSION "\n";
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
        {"pair", {kestrel::agent::runPair, pairHelp}},
        {"serve", {kestrel::agent::runServe, serveHelp}},
        {"list", {kestrel::agent::runList, listHelp}},
        {"forget", {kestrel::agent::runForget, forgetHelp}},
    };
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    try {
        const auto command = commands.find(all[0]);
        if (command == commands.end()) {
            throw kestrel::cli::UsageError("unknown command \"" + all[0] +
                                           "\" (see kestrel-agent --help)");
        }
        for (const std::string& word : rest) {
            if (word == "--help" || word == "-h") {
                std::cout << command->second.help;
                return 0;
            }
        }
        return command->second.run(rest);
    } catch (const kestrel::cli::UsageError& error) {
        std::cerr << "kestrel-agent: " << error.what() << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kestrel-agent: " << error.what() << std::endl;
        return 1;
    }
}
