#include "app/relay/relay_runtime.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <filesystem>

#include "app/relay/control_commands.hpp"
#include "app/relay/control_protocol.hpp"
#include "app/relay/control_server.hpp"
#include "app/relay/secret_store_choice.hpp"
#include "platform/avahi_service_advertiser.hpp"
#include "platform/desktop_notice_presenter.hpp"
#include "platform/file_settings_store.hpp"
#include "platform/host_name.hpp"
#include "platform/paths.hpp"
#include "platform/stderr_notice_presenter.hpp"
#include "relay/agent_forwarder.hpp"

namespace kestrel {

void RelayRuntime::prepareProcess() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string RelayRuntime::ownExecutable(const std::string& fallback) {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? fallback : path.string();
}

detail::UniqueFd RelayRuntime::takeInstanceLock() {
    ensurePrivateDirectory(control::socketDirectory());
    detail::UniqueFd lock(::open(control::lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock) {
        throw RelayStartFailure("cannot open " + control::lockPath() + ": " +
                                std::generic_category().message(errno));
    }
    // Held for the life of the relay, so a stale control socket left by a relay that crashed
    // can be replaced safely.
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        throw RelayStartFailure("a relay is already running for this user (control socket " +
                                control::socketPath() + "); stop it first");
    }
    return lock;
}

RelayRuntime::RelayRuntime(asio::any_io_executor relayExecutor, const RelayRuntimeOptions& options,
                           FrontEnd frontEnd)
    : instanceLock_(takeInstanceLock()),
      settings_(std::make_unique<FileSettingsStore>()),
      loginItem_(std::move(frontEnd.loginItem)),
      port_(options.port) {
    if (auto warning = settings_->warning()) startWarnings_.push_back(*warning);
    cli::SecretStoreChoice choice =
        cli::chooseSecretStore(options.secretStore, *settings_, RelayController::keyService);
    secrets_ = std::move(choice.store);
    notes_ = std::move(choice.notes);
    for (std::string& warning : choice.warnings) startWarnings_.push_back(std::move(warning));

    desktopNotices_ = DesktopNoticePresenter::connect([this] { return usesOnePassword(); });
    NoticePresenter* notices = frontEnd.notices;
    if (notices == nullptr && desktopNotices_) notices = desktopNotices_.get();
    if (notices == nullptr) {
        noticeLines_ = std::make_unique<StderrNoticePresenter>();
        notices = noticeLines_.get();
    }

    advertiser_ = std::make_unique<AvahiServiceAdvertiser>(relayExecutor);
    controller_ = std::make_unique<RelayController>(
        relayExecutor,
        RelayController::Services{*secrets_, *settings_, *notices, *advertiser_, *loginItem_},
        options.name.value_or(localizedHostName()));
    controller_->addObserver([this](const RelayEvent& event) { announceHeld(event); });
    commands_ = std::make_unique<control::ControlCommands>(*controller_, startWarnings_);
    controlServer_ =
        std::make_unique<control::ControlServer>(relayExecutor, *controller_, *commands_);
}

// The controller goes first: its sessions use the stores and the presenters.
RelayRuntime::~RelayRuntime() {
    controlServer_.reset();
    commands_.reset();
    controller_.reset();
}

namespace {

// The port the relay had last time: paired computers know it by this address, so every start
// asks for it again.
constexpr std::string_view portKey = "relayPort";

std::optional<std::uint16_t> keptPort(const SettingsStore& settings) {
    const auto value = settings.value(portKey);
    if (!value || !value->is_number_integer()) return std::nullopt;
    const auto port = value->get<std::int64_t>();
    if (port < 1 || port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

// The body of the notification that a held device waits for approval.
std::string heldDeviceAnnouncement(const DeviceMetadata& device) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about a chain of operator+.
    std::string text = "\u201C";
    text.append(device.displayName)
        .append("\u201D paired, but cannot use the agent until you allow it.");
    for (const PairingEvidence& evidence : device.evidence)
        text.append("\n").append(evidence.description(device.displayName));
    return text;
}

RelayStartFailure cannotListen(std::uint16_t port, const std::system_error& error) {
    return RelayStartFailure("cannot listen on port " + std::to_string(port) + ": " +
                             error.code().message());
}

}  // namespace

void RelayRuntime::start() {
    if (controller_->isRunning()) return;
    // How the port was chosen, for status.
    std::string portNote;
    const std::optional<std::uint16_t> kept = keptPort(*settings_);
    const auto listen = [this](std::uint16_t port) {
        try {
            controller_->start(port);
        } catch (const std::system_error& error) {
            throw cannotListen(port, error);
        }
    };
    if (port_) {
        listen(*port_);
        portNote = *port_ != 0 ? "set with --port" : "chosen by the system";
    } else if (!kept) {
        listen(0);
        portNote = "chosen by the system";
    } else {
        try {
            controller_->start(*kept);
            portNote = "the port it had last time";
        } catch (const std::system_error& error) {
            // Taken by another program: any free port, and devices find the relay again by name.
            listen(0);
            portNote = "port " + std::to_string(*kept) + ", which it had last time, " +
                       "could not be used (" + error.code().message() + ")";
        }
    }
    const std::uint16_t port = *controller_->port();
    if (kept != port) {
        try {
            settings_->setValue(portKey, port);
            portNote += "; asked for again at the next start";
        } catch (const std::system_error& error) {
            portNote += "; not kept for the next start (" + std::string(error.what()) + ")";
        }
    }
    commands_->setPortNote(portNote);
    portNote_ = portNote;
    try {
        controlServer_->start(control::socketPath());
    } catch (const std::system_error& error) {
        controller_->stop();
        throw RelayStartFailure("cannot open the control socket " + control::socketPath() + ": " +
                                error.code().message());
    }
}

void RelayRuntime::stop() {
    controlServer_->stop();
    controller_->stop();
}

std::optional<std::string> RelayRuntime::agentSocket() const {
    return AgentForwarder::resolveSocketPath(controller_->customSocketPath());
}

// 1Password's agent socket is ~/.1password/agent.sock, also when ssh_config or SSH_AUTH_SOCK
// names it.
bool RelayRuntime::usesOnePassword() const {
    const auto path = agentSocket();
    return path && path->find("/.1password/") != std::string::npos;
}

std::vector<std::string> RelayRuntime::warnings() const {
    std::vector<std::string> lines = startWarnings_;
    if (const auto& warning = controller_->store().warning()) lines.push_back(*warning);
    for (std::string& line : control::keysLeftWarnings(controller_->store()))
        lines.push_back(std::move(line));
    for (const auto& device : controller_->store().unavailableDevices()) {
        lines.push_back("device \"" + device.metadata.displayName +
                        "\" cannot connect until its key can be read: " + device.reason);
    }
    return lines;
}

// A held device waits for the user, who may not be looking at the relay: the desktop says so.
// Each device is held once (evidence against a device already held holds nothing new), so each
// is announced once.
void RelayRuntime::announceHeld(const RelayEvent& event) {
    if (!desktopNotices_) return;
    const DeviceMetadata* device = nullptr;
    if (const auto* ended = std::get_if<PairingEnded>(&event)) {
        if (ended->device && ended->device->held) device = &*ended->device;
    } else if (const auto* suspicion = std::get_if<PairingSuspicion>(&event)) {
        if (suspicion->held) device = &suspicion->device;
    }
    if (device == nullptr) return;
    desktopNotices_->announce("A paired device waits for approval",
                              heldDeviceAnnouncement(*device));
}

}  // namespace kestrel
