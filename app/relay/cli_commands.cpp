#include "app/relay/cli_commands.hpp"

#include <signal.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include <array>
#include <charconv>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "app/common/arguments.hpp"
#include "app/relay/control_client.hpp"
#include "app/relay/control_commands.hpp"
#include "app/relay/control_protocol.hpp"
#include "app/relay/relay_runtime.hpp"
#include "app/relay/secret_store_choice.hpp"
#include "platform/file_settings_store.hpp"
#include "platform/host_name.hpp"
#include "platform/null_service_advertiser.hpp"
#include "platform/stderr_notice_presenter.hpp"
#include "platform/systemd_user_unit.hpp"

namespace kestrel::cli {
namespace {

using Json = nlohmann::json;

const OptionSpec jsonOption{"json", false};

class NotRunning : public std::runtime_error {
public:
    NotRunning()
        : std::runtime_error(
              "no relay is running for this user (start one with `kestrel-relay serve`)") {}
};

control::ControlClient connectToRelay() {
    auto client = control::ControlClient::connect(control::socketPath());
    if (!client) throw NotRunning();
    return std::move(*client);
}

// Prints an error answer as one line; its exit status (2 for a request that was wrong, 1 for
// anything else), or 0 when the answer was no error.
int reportError(const Json& answer, bool json) {
    if (!answer.contains("error")) return 0;
    if (json)
        std::cout << answer.dump() << std::endl;
    else
        std::cerr << "kestrel-relay: " << answer["error"].get<std::string>() << std::endl;
    return answer.value("usage", false) ? 2 : 1;
}

// The answer a relay would give, from the stores themselves: for the commands that must work
// while no relay runs (a lost phone is revoked at once, not at the next start). The relay's
// lock is held meanwhile, so no relay starts with the stores half-changed.
Json answerWithoutRelay(const Json& request) {
    detail::UniqueFd lock;
    try {
        lock = RelayRuntime::takeInstanceLock();
    } catch (const RelayStartFailure&) {
        throw std::runtime_error("a relay is starting for this user; try again in a moment");
    }
    FileSettingsStore settings;
    const std::unique_ptr<SecretStore> secrets = openStoreNamedBy(settings);
    asio::io_context io;  // never run: nothing listens
    StderrNoticePresenter notices;
    NullServiceAdvertiser advertiser;
    SystemdUserUnitLoginItem loginItem(RelayRuntime::ownExecutable("kestrel-relay"));
    RelayController controller(io.get_executor(),
                               {*secrets, settings, notices, advertiser, loginItem},
                               localizedHostName());
    control::ControlCommands commands(controller, {});
    Json answer = commands.handle(request);
    answer["relayRunning"] = false;
    return answer;
}

// Runs one request/answer command: prints the answer as JSON, or through `print`. With
// `worksWithoutRelay`, a relay that is not running is no failure: the stores answer.
template <typename Print>
int simpleCommand(const Arguments& arguments, const Json& request, Print print,
                  bool worksWithoutRelay = false) {
    Json answer;
    if (auto client = control::ControlClient::connect(control::socketPath())) {
        answer = control::request(*client, request);
    } else if (worksWithoutRelay) {
        answer = answerWithoutRelay(request);
    } else {
        throw NotRunning();
    }
    const bool json = arguments.has("json");
    if (const int status = reportError(answer, json)) return status;
    if (json)
        std::cout << answer.dump() << std::endl;
    else
        print(answer);
    return 0;
}

std::string text(const Json& value) { return value.is_string() ? value.get<std::string>() : ""; }

void printAgent(const Json& agent) {
    std::cout << "Agent socket: "
              << (agent["inUse"].is_string() ? text(agent["inUse"]) : std::string("none found"))
              << "\n";
    for (const Json& candidate : agent["candidates"]) {
        std::cout << "  " << std::left << std::setw(30) << text(candidate["label"]) << " "
                  << text(candidate["path"]);
        if (candidate["skipped"].is_string())
            std::cout << "  (skipped: " << text(candidate["skipped"]) << ")";
        else if (!candidate["exists"].get<bool>())
            std::cout << "  (missing)";
        std::cout << "\n";
    }
}

// The sign requests waiting for the user, and how to answer each.
void printWaiting(const Json& waiting) {
    for (const Json& request : waiting) {
        const std::string id = std::to_string(request["requestID"].get<std::uint64_t>());
        std::cout << "Waiting for you: sign request " << id << " from \u201C"
                  << text(request["deviceName"]) << "\u201D to " << text(request["detail"])
                  << " (kestrel-relay allow " << id << ", or deny " << id << ")\n";
    }
}

void printStatus(const Json& status) {
    std::cout << "Relay \"" << text(status["relayName"]) << "\" is running";
    if (status["port"].is_number()) std::cout << " on port " << status["port"].get<int>();
    if (status["portNote"].is_string()) std::cout << " (" << text(status["portNote"]) << ")";
    std::cout << ".\nAdvertising: " << text(status["advertising"]["description"]) << "\n";
    if (status["pairing"].is_object()) {
        std::cout << "Pairing: open, code " << text(status["pairing"]["code"]) << ", "
                  << status["pairing"]["secondsLeft"].get<int>() << " s left\n";
    } else {
        std::cout << "Pairing: not open\n";
    }
    if (const Json& last = status["lastPairing"]; last.is_object()) {
        const std::string result = text(last["result"]);
        std::cout << "Last pairing: " << result;
        if (result == "paired")
            std::cout << ", \"" << text(last["displayName"]) << "\" (" << text(last["deviceID"])
                      << ")";
        if (last.contains("message")) std::cout << ": " << text(last["message"]);
        std::cout << "\n";
    }
    std::cout << "Devices: " << status["deviceCount"].get<int>() << " paired\n";
    for (const Json& device : status["heldDevices"]) {
        std::cout << "  \"" << text(device["displayName"])
                  << "\" is held until you approve it (kestrel-relay approve "
                  << text(device["deviceID"]) << ", or revoke it):\n";
        for (const Json& evidence : device["evidence"])
            std::cout << "    " << text(evidence["description"]) << "\n";
    }
    for (const Json& device : status["unavailableDevices"]) {
        std::cout << "  \"" << text(device["displayName"])
                  << "\" cannot connect: " << text(device["reason"]) << "\n";
    }
    printWaiting(status["waitingForApproval"]);
    std::cout << "Secret store: " << text(status["secretStore"]) << "\n";
    printAgent(status["agent"]);
    if (const Json& failure = status["lastAgentFailure"]; failure.is_object())
        std::cout << "Last agent failure (" << text(failure["at"]) << "): " << text(failure["line"])
                  << "\n";
    for (const Json& warning : status["warnings"])
        std::cout << "Warning: " << text(warning) << "\n";
    std::cout << std::flush;
}

// Why a device is held or suspect, and what the user can do about it.
void printEvidence(const Json& device) {
    if (device["held"].get<bool>()) {
        std::cout << "  HELD: it cannot use the agent until you approve it "
                     "(kestrel-relay approve "
                  << text(device["deviceID"]) << ")\n";
    }
    for (const Json& evidence : device["evidence"])
        std::cout << "  " << text(evidence["description"]) << "\n";
}

// What the user restricted, when anything.
void printDeviceSettings(const Json& device) {
    if (text(device["approval"]) == "ask")
        std::cout << "  asks before signing (kestrel-relay allow|deny REQUEST-ID)\n";
    const Json& keys = device["keys"];
    if (!keys.is_array()) return;
    if (keys.empty()) std::cout << "  may use no key\n";
    for (const Json& key : keys) std::cout << "  may use " << text(key) << "\n";
}

// One line per request: when, which, from which device, what, and how it ended.
void printActivity(const Json& answer) {
    if (answer["activity"].empty() && answer["waitingForApproval"].empty()) {
        std::cout << "No agent requests yet." << std::endl;
        return;
    }
    for (const Json& entry : answer["activity"]) {
        std::cout << text(entry["at"]) << "  " << std::right << std::setw(4)
                  << entry["requestID"].get<std::uint64_t>() << "  \u201C"
                  << text(entry["deviceName"]) << "\u201D  " << text(entry["kind"]);
        if (entry["detail"].is_string()) std::cout << ": " << text(entry["detail"]);
        std::cout << "  -> " << text(entry["result"]);
        if (entry["reason"].is_string()) std::cout << " (" << text(entry["reason"]) << ")";
        std::cout << "\n";
    }
    printWaiting(answer["waitingForApproval"]);
    std::cout << std::flush;
}

std::string lastUsed(const Json& device) {
    return device["lastUsedAt"].is_string() ? "used " + text(device["lastUsedAt"]) : "never used";
}

void printDevices(const Json& answer) {
    if (answer["devices"].empty()) {
        std::cout << "No devices are paired. Pair one with `kestrel-relay pair`." << std::endl;
        return;
    }
    for (const Json& device : answer["devices"]) {
        std::cout << text(device["displayName"]) << "\n  ID " << text(device["deviceID"])
                  << "\n  paired " << text(device["pairedAt"]) << ", " << lastUsed(device) << "\n";
        if (!device["available"].get<bool>())
            std::cout << "  cannot connect: " << text(device["reason"]) << "\n";
        printEvidence(device);
        printDeviceSettings(device);
    }
    if (!answer.value("relayRunning", true))
        std::cout << "(No relay is running: this is the stored list.)\n";
    std::cout << std::flush;
}

volatile sig_atomic_t interruptRequested = 0;

void onInterrupt(int) { interruptRequested = 1; }

// Ctrl-C while waiting for a device: tell the relay, then report how the window ended.
void catchInterrupt() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait must wake up
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void printCode(const Json& opened) {
    std::cout << "\n"
              << largeDigits(text(opened["code"])) << "\n"
              << "Enter this in Kestrel to pair a device.\n"
              << "Code " << text(opened["code"]) << ", valid for "
              << opened["secondsLeft"].get<int>() << " s (until " << text(opened["expiresAt"])
              << "). Press Ctrl-C to cancel.\n";
    if (opened.value("replacedOpenCode", false))
        std::cout << "This replaced the code that was open; that one no longer works.\n";
    std::cout << std::endl;
}

void printHeld(const Json& result) {
    std::cout << "Paired \"" << text(result["displayName"]) << "\" (" << text(result["deviceID"])
              << "), but HELD: it cannot use the agent until you approve it, because someone "
                 "else may have paired in your device's place:\n";
    for (const Json& evidence : result["evidence"])
        std::cout << "  " << text(evidence["description"]) << "\n";
    std::cout << std::flush;
}

// On a terminal the user decides at once: keep the device (approve) or revoke it. Anything but
// yes revokes; an interrupted or closed input leaves it held.
int askAboutHeldDevice(const Json& result) {
    std::cout << "Is \"" << text(result["displayName"])
              << "\" the device you just paired? Keep it [y/N]: " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || interruptRequested) {
        std::cout << "\nLeft held. Decide later with `kestrel-relay approve "
                  << text(result["deviceID"]) << "` or `kestrel-relay revoke "
                  << text(result["deviceID"]) << "`." << std::endl;
        return heldExitStatus;
    }
    const bool keep = answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
    control::ControlClient client = connectToRelay();
    const Json request = {{"command", keep ? "approve" : "revoke"}, {"device", result["deviceID"]}};
    const Json reply = control::request(client, request);
    if (const int status = reportError(reply, false)) return status;
    std::cout << (keep ? "Approved: it can use the agent now." : "Revoked.") << std::endl;
    return keep ? 0 : 1;
}

int printPairingResult(const Json& result, bool json) {
    const std::string outcome = text(result["result"]);
    const bool held = outcome == "paired" && result.value("held", false);
    if (json) {
        std::cout << result.dump() << std::endl;
    } else if (held) {
        printHeld(result);
        if (::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO)) return askAboutHeldDevice(result);
        std::cout << "Approve it with `kestrel-relay approve " << text(result["deviceID"])
                  << "`, or revoke it." << std::endl;
    } else if (outcome == "paired") {
        std::cout << "Paired \"" << text(result["displayName"]) << "\" ("
                  << text(result["deviceID"]) << ")." << std::endl;
    } else if (outcome == "expired") {
        std::cerr << "The code expired before a device used it." << std::endl;
    } else if (outcome == "cancelled") {
        std::cerr << "Pairing cancelled"
                  << (result.contains("message") ? ": " + text(result["message"]) : "") << "."
                  << std::endl;
    } else {
        std::cerr << "Pairing failed: " << text(result["message"]) << std::endl;
    }
    if (held) return heldExitStatus;
    return outcome == "paired" ? 0 : 1;
}

}  // namespace

std::string largeDigits(const std::string& code) {
    static const std::array<std::array<const char*, 5>, 10> font = {{
        {"###", "# #", "# #", "# #", "###"},
        {" # ", "## ", " # ", " # ", "###"},
        {"###", "  #", "###", "#  ", "###"},
        {"###", "  #", "###", "  #", "###"},
        {"# #", "# #", "###", "  #", "  #"},
        {"###", "#  ", "###", "  #", "###"},
        {"###", "#  ", "###", "# #", "###"},
        {"###", "  #", "  #", "  #", "  #"},
        {"###", "# #", "###", "# #", "###"},
        {"###", "# #", "###", "  #", "###"},
    }};
    std::string drawing;
    for (std::size_t row = 0; row < 5; ++row) {
        drawing += "    ";
        for (std::size_t i = 0; i < code.size(); ++i) {
            if (code[i] < '0' || code[i] > '9') continue;
            for (const char* pixel = font[code[i] - '0'][row]; *pixel != '\0'; ++pixel) {
                drawing += *pixel == '#' ? "\u2588\u2588" : "  ";
            }
            drawing += i == 2 ? "      " : "  ";
        }
        drawing += "\n";
    }
    return drawing;
}

int runStatus(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    arguments.expectPositional(0, "");
    return simpleCommand(arguments, {{"command", "status"}}, printStatus);
}

int runPair(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption, {"seconds", true}});
    arguments.expectPositional(0, "");
    const bool json = arguments.has("json");
    const long seconds = arguments.integer("seconds", 1, 3600).value_or(120);
    control::ControlClient client = connectToRelay();
    catchInterrupt();
    const Json opened = control::request(client, {{"command", "pair"}, {"seconds", seconds}});
    if (const int status = reportError(opened, json)) return status;
    if (json)
        std::cout << opened.dump() << std::endl;
    else
        printCode(opened);

    bool cancelSent = false;
    for (;;) {
        if (interruptRequested && !cancelSent) {
            client.finishSending();  // the relay cancels a pairing whose client stops
            cancelSent = true;
        }
        if (auto answer = client.receive(1000)) {
            if (answer->contains("result")) return printPairingResult(*answer, json);
            continue;
        }
        if (client.atEnd()) {
            std::cerr << "kestrel-relay: the relay stopped before pairing ended" << std::endl;
            return 1;
        }
    }
}

int runCancelPairing(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    arguments.expectPositional(0, "");
    return simpleCommand(arguments, {{"command", "cancel-pairing"}}, [](const Json& answer) {
        std::cout << (text(answer["result"]) == "cancelled" ? "Pairing cancelled."
                                                            : "No pairing was open.")
                  << std::endl;
    });
}

int runDevices(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    arguments.expectPositional(0, "");
    return simpleCommand(arguments, {{"command", "devices"}}, printDevices, true);
}

int runRevoke(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    arguments.expectPositional(1, "the device to revoke (its ID or its name)");
    return simpleCommand(
        arguments, {{"command", "revoke"}, {"device", arguments.positional()[0]}},
        [](const Json& answer) {
            std::cout << "Revoked \"" << text(answer["revoked"]["displayName"]) << "\" ("
                      << text(answer["revoked"]["deviceID"]) << ")." << std::endl;
            if (answer.contains("warning"))
                std::cerr << "kestrel-relay: warning: " << text(answer["warning"]) << std::endl;
        },
        true);
}

int runApprove(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    arguments.expectPositional(1, "the device to approve (its ID or its name)");
    return simpleCommand(
        arguments, {{"command", "approve"}, {"device", arguments.positional()[0]}},
        [](const Json& answer) {
            std::cout << "Approved \"" << text(answer["approved"]["displayName"]) << "\" ("
                      << text(answer["approved"]["deviceID"]) << "): it can use the agent."
                      << std::endl;
        },
        true);
}

int runActivity(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption, {"device", true}});
    arguments.expectPositional(0, "");
    Json request = {{"command", "activity"}};
    if (const auto device = arguments.value("device")) request["device"] = *device;
    return simpleCommand(arguments, request, printActivity);
}

int runDevice(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    const auto& given = arguments.positional();
    if (given.size() < 2 || (given[1] != "keys" && given.size() < 3))
        throw UsageError(
            "usage: kestrel-relay device ID-or-NAME approval ask|allow, or kestrel-relay device "
            "ID-or-NAME keys FINGERPRINT...|all");
    Json request = {{"command", "device-settings"}, {"device", given[0]}};
    if (given[1] == "approval") {
        if (given.size() != 3 || (given[2] != "ask" && given[2] != "allow"))
            throw UsageError("approval takes ask or allow");
        request["approval"] = given[2];
    } else if (given[1] == "keys") {
        const std::vector<std::string> keys(given.begin() + 2, given.end());
        if (keys.size() == 1 && keys[0] == "all")
            request["keys"] = "all";
        else
            request["keys"] = keys;
    } else {
        throw UsageError("unknown device setting \"" + given[1] + "\" (use approval or keys)");
    }
    return simpleCommand(
        arguments, request,
        [](const Json& answer) {
            const Json& device = answer["device"];
            std::cout << text(device["displayName"]) << " (" << text(device["deviceID"]) << ")\n";
            if (text(device["approval"]) != "ask") std::cout << "  signs without asking\n";
            if (!device["keys"].is_array()) std::cout << "  may use every key of the agent\n";
            printDeviceSettings(device);
            std::cout << std::flush;
        },
        true);
}

namespace {

int decideCommand(const std::vector<std::string>& words, const std::string& decision) {
    std::vector<OptionSpec> options = {jsonOption};
    if (decision == "allow") options.push_back({"for-10-minutes", false});
    const Arguments arguments(words, options);
    arguments.expectPositional(1, "the number of the sign request (see kestrel-relay activity)");
    const std::string& given = arguments.positional()[0];
    std::uint64_t requestID = 0;
    const auto [end, error] = std::from_chars(given.data(), given.data() + given.size(), requestID);
    if (error != std::errc() || end != given.data() + given.size() || requestID == 0)
        throw UsageError("\"" + given + "\" is not a request number (see kestrel-relay activity)");
    const std::string chosen = arguments.has("for-10-minutes") ? "allow-10-minutes" : decision;
    return simpleCommand(
        arguments, {{"command", "decide"}, {"request", requestID}, {"decision", chosen}},
        [&](const Json& answer) {
            const Json& decided = answer["decided"];
            std::cout << (decision == "deny" ? "Denied " : "Allowed ") << "request " << given
                      << " from \u201C" << text(decided["deviceName"]) << "\u201D to "
                      << text(decided["detail"])
                      << (chosen == "allow-10-minutes" ? "; the device signs with this key without "
                                                         "asking for 10 minutes."
                                                       : ".")
                      << std::endl;
        });
}

}  // namespace

int runAllow(const std::vector<std::string>& words) { return decideCommand(words, "allow"); }

int runDeny(const std::vector<std::string>& words) { return decideCommand(words, "deny"); }

int runConfig(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    const auto& words_ = arguments.positional();
    if (words_.empty())
        throw UsageError("missing get or set (kestrel-relay config get|set KEY [VALUE])");
    const auto print = [](const Json& answer) {
        const Json& value = answer["value"];
        std::cout << text(answer["key"]) << " = "
                  << (value.is_string() ? text(value) : value.dump()) << std::endl;
        if (answer.contains("warning"))
            std::cerr << "kestrel-relay: warning: " << text(answer["warning"]) << std::endl;
    };
    if (words_[0] == "get") {
        if (words_.size() != 2) throw UsageError("usage: kestrel-relay config get KEY");
        return simpleCommand(arguments, {{"command", "config-get"}, {"key", words_[1]}}, print);
    }
    if (words_[0] == "set") {
        if (words_.size() != 3) throw UsageError("usage: kestrel-relay config set KEY VALUE");
        return simpleCommand(arguments,
                             {{"command", "config-set"}, {"key", words_[1]}, {"value", words_[2]}},
                             print);
    }
    throw UsageError("unknown config action \"" + words_[0] + "\" (use get or set)");
}

int runAgent(const std::vector<std::string>& words) {
    const Arguments arguments(words, {jsonOption});
    arguments.expectPositional(0, "");
    return simpleCommand(arguments, {{"command", "agent"}}, [](const Json& answer) {
        printAgent(answer);
        std::cout << std::flush;
    });
}

}  // namespace kestrel::cli
