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
  pair [--relay HOST:PORT | --relay-name NAME] [--name NAME] [--code CODE]
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
State: the paired relays in $XDG_CONFIG_HOME/kestrel-agent, their keys in
$XDG_DATA_HOME/kestrel-agent.
)usage";

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
    const std::map<std::string, int (*)(const std::vector<std::string>&)> commands = {
        {"pair", kestrel::agent::runPair},
        {"serve", kestrel::agent::runServe},
        {"list", kestrel::agent::runList},
        {"forget", kestrel::agent::runForget},
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
                std::cout << usage;
                return 0;
            }
        }
        return command->second(rest);
    } catch (const kestrel::cli::UsageError& error) {
        std::cerr << "kestrel-agent: " << error.what() << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "kestrel-agent: " << error.what() << std::endl;
        return 1;
    }
}
