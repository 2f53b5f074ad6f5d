#include "app/relay/serve_command.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "app/relay/control_commands.hpp"
#include "app/relay/control_protocol.hpp"
#include "app/relay/control_server.hpp"
#include "app/relay/secret_store_choice.hpp"
#include "platform/avahi_service_advertiser.hpp"
#include "platform/desktop_notice_presenter.hpp"
#include "platform/file_secret_store.hpp"
#include "platform/file_settings_store.hpp"
#include "platform/host_name.hpp"
#include "platform/paths.hpp"
#include "platform/stderr_notice_presenter.hpp"
#include "platform/systemd_user_unit.hpp"
#include "platform/unique_fd.hpp"
#include "relay/agent_forwarder.hpp"
#include "relay/relay_controller.hpp"

namespace kestrel::cli {
namespace {

// Something that keeps serve from starting: printed as one line, exit status 1.
class StartFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path of this program, for the unit that starts it at login.
std::string ownExecutable() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("kestrel-relay") : path.string();
}

// Key material must not end up in a core dump or be readable through ptrace by other processes
// of the user that are not its parent.
void protectMemory() { ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

// Every connection costs a descriptor; take all the system allows this process.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// One relay per user: the lock is held for the life of the process, so a stale control socket
// left by a relay that crashed can be replaced safely.
detail::UniqueFd takeInstanceLock() {
    ensurePrivateDirectory(control::socketDirectory());
    detail::UniqueFd lock(::open(control::lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock)
        throw std::system_error(errno, std::generic_category(),
                                "cannot open " + control::lockPath());
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        throw StartFailure("a relay is already running for this user (control socket " +
                           control::socketPath() + "); stop it first");
    }
    return lock;
}

std::string agentLine(const std::optional<std::string>& customPath) {
    for (const AgentSocketCandidate& candidate : AgentForwarder::socketCandidates(customPath)) {
        if (AgentForwarder::resolveSocketPath(customPath) == candidate.path) {
            return candidate.path + " (" + candidate.label + ")";
        }
    }
    return "none found (start an agent, or: kestrel-relay config set socket-override PATH)";
}

// 1Password's agent socket is ~/.1password/agent.sock, also when ssh_config or SSH_AUTH_SOCK
// names it.
bool usesOnePassword(const RelayController& controller) {
    const std::optional<std::string> custom = controller.socketOverride().empty()
                                                  ? std::nullopt
                                                  : std::optional(controller.socketOverride());
    const auto path = AgentForwarder::resolveSocketPath(custom);
    return path && path->find("/.1password/") != std::string::npos;
}

void printStarted(const RelayController& controller, bool json) {
    const std::optional<std::string> custom = controller.socketOverride().empty()
                                                  ? std::nullopt
                                                  : std::optional(controller.socketOverride());
    if (json) {
        const auto path = AgentForwarder::resolveSocketPath(custom);
        std::cout << nlohmann::json{{"port", *controller.port()},
                                    {"relayName", controller.relayName()},
                                    {"agentSocket",
                                     path ? nlohmann::json(*path) : nlohmann::json(nullptr)},
                                    {"controlSocket", control::socketPath()}}
                         .dump()
                  << std::endl;
        return;
    }
    std::cout << "Kestrel relay \"" << controller.relayName() << "\" listening on port "
              << *controller.port() << "; agent socket: " << agentLine(custom) << "\n"
              << "To pair a device, run `kestrel-relay pair` in another terminal." << std::endl;
}

// Pairings and suspicions go to the log as they happen: the user may not be watching `pair`.
void logEvent(const RelayEvent& event) {
    if (const auto* ended = std::get_if<PairingEnded>(&event)) {
        if (ended->result != PairingResult::paired || !ended->device) return;
        const DeviceMetadata& device = *ended->device;
        std::cerr << "kestrel-relay: paired \u201C" << device.displayName << "\u201D ("
                  << device.deviceID.uuidString() << ")"
                  << (device.held ? "; HELD until approved (kestrel-relay approve ID)" : "")
                  << std::endl;
        for (const PairingEvidence& evidence : device.evidence)
            std::cerr << "kestrel-relay:   " << evidence.description(device.displayName)
                      << std::endl;
    } else if (const auto* suspicion = std::get_if<PairingSuspicion>(&event)) {
        std::cerr << "kestrel-relay: warning: "
                  << suspicion->evidence.description(suspicion->device.displayName)
                  << (suspicion->held ? "; it is HELD until approved" : "") << std::endl;
    }
}

int serve(const ServeOptions& options) {
    protectMemory();
    raiseDescriptorLimit();
    const detail::UniqueFd instanceLock = takeInstanceLock();

    FileSettingsStore settings;
    std::vector<std::string> warnings;
    if (auto warning = settings.warning()) warnings.push_back(*warning);
    SecretStoreChoice storeChoice =
        chooseSecretStore(options.secretStore, settings, RelayController::keyService);
    const std::unique_ptr<SecretStore> secrets = std::move(storeChoice.store);
    for (const std::string& note : storeChoice.notes)
        std::cerr << "kestrel-relay: " << note << std::endl;
    for (std::string& warning : storeChoice.warnings) warnings.push_back(std::move(warning));
    // The relay's controller, once it exists: the notice asks it which agent is in use.
    const RelayController* running = nullptr;
    StderrNoticePresenter noticeLines;
    const std::unique_ptr<DesktopNoticePresenter> notifications = DesktopNoticePresenter::connect(
        [&running] { return running && usesOnePassword(*running); });
    NoticePresenter& notices =
        notifications ? static_cast<NoticePresenter&>(*notifications) : noticeLines;
    // Until the tray app starts with the desktop, launching at login is the headless relay's
    // own systemd user unit.
    SystemdUserUnitLoginItem loginItem(ownExecutable());

    asio::io_context io;
    AvahiServiceAdvertiser advertiser(io.get_executor());
    RelayController controller(io.get_executor(),
                               {*secrets, settings, notices, advertiser, loginItem},
                               options.name.value_or(localizedHostName()));
    running = &controller;
    controller.addObserver([](const RelayEvent& event) {
        if (const auto* failure = std::get_if<AgentFailure>(&event))
            std::cerr << "kestrel-relay: " << agentFailureLine(*failure) << std::endl;
    });
    try {
        controller.start(options.port);
    } catch (const std::system_error& error) {
        throw StartFailure("cannot listen on port " + std::to_string(options.port) + ": " +
                           error.code().message());
    }
    controller.addObserver(logEvent);
    control::ControlCommands commands(controller, warnings);
    control::ControlServer server(io.get_executor(), controller, commands);
    server.start(control::socketPath());

    printStarted(controller, options.json);
    if (const auto& warning = controller.store().warning()) warnings.push_back(*warning);
    for (std::string& line : control::keysLeftWarnings(controller.store()))
        warnings.push_back(std::move(line));
    for (const auto& device : controller.store().unavailableDevices()) {
        warnings.push_back("device \"" + device.metadata.displayName +
                           "\" cannot connect until its key can be read: " + device.reason);
    }
    for (const std::string& warning : warnings)
        std::cerr << "kestrel-relay: warning: " << warning << std::endl;

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](std::error_code, int) {
        server.stop();
        controller.stop();
        io.stop();
    });
    // Agent exchanges still in flight end with the io_context: their sockets are closed and
    // their devices, already disconnected, get no reply.
    io.run();
    return 0;
}

}  // namespace

int runServe(const ServeOptions& options) {
    try {
        return serve(options);
    } catch (const StartFailure& failure) {
        std::cerr << "kestrel-relay: " << failure.what() << std::endl;
    } catch (const std::system_error& error) {
        std::cerr << "kestrel-relay: " << error.what() << std::endl;
    }
    return 1;
}

}  // namespace kestrel::cli
