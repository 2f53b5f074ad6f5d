#pragma once

// The relay as a program runs it, whichever face it has: the single-instance lock, the settings
// and secret stores, DNS-SD, the controller, and the control socket that the CLI talks to.
// `kestrel-relay serve` runs one on its main thread; `kestrel-relay-tray` runs one on its relay
// thread. Relay thread only, construction included.

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/login_item.hpp"
#include "platform/notice_presenter.hpp"
#include "platform/unique_fd.hpp"
#include "relay/relay_controller.hpp"

namespace kestrel {

class AvahiServiceAdvertiser;
class DesktopNoticePresenter;
class FileSettingsStore;
class SecretStore;
class StderrNoticePresenter;
namespace control {
class ControlCommands;
class ControlServer;
}  // namespace control

// Something that keeps the relay from starting, as one line for the user.
class RelayStartFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RelayRuntimeOptions {
    // None: the port of the last start, else any free one. 0: any free one.
    std::optional<std::uint16_t> port;
    std::optional<std::string> name;   // default: the host's name
    std::string secretStore = "auto";  // auto | file | secret-service
};

class RelayRuntime {
public:
    // What differs between the front ends.
    struct FrontEnd {
        // The signature notice. None: a desktop notification when the session has a server
        // for them, else a line on standard error.
        NoticePresenter* notices = nullptr;
        std::unique_ptr<LoginItem> loginItem;
    };

    // Takes the lock, opens the stores and loads the devices. Throws RelayStartFailure.
    RelayRuntime(asio::any_io_executor relayExecutor, const RelayRuntimeOptions& options,
                 FrontEnd frontEnd);
    ~RelayRuntime();
    RelayRuntime(const RelayRuntime&) = delete;
    RelayRuntime& operator=(const RelayRuntime&) = delete;

    // Listens for devices and opens the control socket. Throws RelayStartFailure, and may then
    // be called again; does nothing while running. Without a port in the options it asks for
    // the one it had last time (kept in the settings), and takes any free one when that is
    // taken: paired computers know the relay by its address.
    void start();
    // Closes the control socket, pairing and every session.
    void stop();

    RelayController& controller() noexcept { return *controller_; }
    const RelayController& controller() const noexcept { return *controller_; }
    // The agent socket in use now (the custom path, when set, wins), or none.
    std::optional<std::string> agentSocket() const;
    bool usesOnePassword() const;
    // Lines worth telling the user once the relay runs: settings put aside, keys left behind,
    // devices whose keys cannot be read.
    std::vector<std::string> warnings() const;
    // What the secret-store choice did at this start (keys moved, and so on).
    const std::vector<std::string>& notes() const noexcept { return notes_; }
    // How the port was chosen at the last start, for status and the log.
    const std::string& portNote() const noexcept { return portNote_; }

    // Keeps key material out of core dumps and away from ptrace by the user's other processes,
    // and takes every descriptor the system allows (each connection costs one). Once, early.
    static void prepareProcess();

    // The path of this program, for what starts it at login; fallback when it cannot be read.
    static std::string ownExecutable(const std::string& fallback);

    // The lock every relay of this user takes; a second relay fails to take it.
    static detail::UniqueFd takeInstanceLock();

private:
    void announceHeld(const RelayEvent& event);

    detail::UniqueFd instanceLock_;
    std::unique_ptr<FileSettingsStore> settings_;
    std::unique_ptr<SecretStore> secrets_;
    std::vector<std::string> notes_;
    std::vector<std::string> startWarnings_;
    std::unique_ptr<DesktopNoticePresenter> desktopNotices_;
    std::unique_ptr<StderrNoticePresenter> noticeLines_;
    std::unique_ptr<LoginItem> loginItem_;
    std::unique_ptr<AvahiServiceAdvertiser> advertiser_;
    std::unique_ptr<RelayController> controller_;
    std::unique_ptr<control::ControlCommands> commands_;
    std::unique_ptr<control::ControlServer> controlServer_;
    std::optional<std::uint16_t> port_;
    std::string portNote_;
};

}  // namespace kestrel
