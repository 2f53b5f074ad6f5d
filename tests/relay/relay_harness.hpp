#pragma once

// Runs a relay controller on an io_context driven by the test thread, with in-memory platform
// services (unless the test brings its own), and connects to it as a device would: over real TCP
// on loopback with the protocol library's client role.

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "platform/login_item.hpp"
#include "platform/null_service_advertiser.hpp"
#include "platform/recording_notice_presenter.hpp"
#include "relay/relay_client.hpp"
#include "relay/relay_controller.hpp"
#include "support/memory_secret_store.hpp"
#include "support/memory_settings_store.hpp"

namespace kestrel::testing {

// Launch at login has no effect a test could observe; this stand-in only remembers the choice.
class MemoryLoginItem final : public LoginItem {
public:
    bool isEnabled() const override { return enabled_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }

private:
    bool enabled_ = false;
};

class RelayHarness {
public:
    // Services default to the in-memory ones below; a test may point these at real stores
    // before startRelay().
    SecretStore* secrets = &memorySecrets;
    SettingsStore* settings = &memorySettings;

    MemorySecretStore memorySecrets;
    MemorySettingsStore memorySettings;
    RecordingNoticePresenter notices;
    NullServiceAdvertiser advertiser;
    MemoryLoginItem loginItem;

    asio::io_context io;
    std::unique_ptr<RelayController> controller;
    std::vector<RelayEvent> events;

    RelayHarness() : guard_(asio::make_work_guard(io)) {}
    ~RelayHarness() { stopRelay(); }

    // Creates the controller (loading stored devices) and starts listening on a free port.
    void startRelay(const std::string& relayName = "Test Relay") {
        controller = std::make_unique<RelayController>(
            io.get_executor(),
            RelayController::Services{*secrets, *settings, notices, advertiser, loginItem},
            relayName);
        controller->addObserver([this](const RelayEvent& event) { events.push_back(event); });
        controller->start(0);
    }

    // Stops the relay and lets its sessions finish, as a process exit would.
    void stopRelay() {
        if (!controller) return;
        controller->stop();
        drain();
        controller.reset();
    }

    // Runs the relay thread until the task completes (or a generous deadline passes, which
    // fails the test instead of hanging it).
    template <typename T>
    T run(asio::awaitable<T> task) {
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
        std::exception_ptr failure;
        bool done = false;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                if constexpr (std::is_void_v<T>) {
                    co_await std::move(task);
                    result.emplace(true);
                } else {
                    result.emplace(co_await std::move(task));
                }
            },
            [&](std::exception_ptr error) {
                failure = error;
                done = true;
            });
        runUntil([&] { return done; });
        if (failure) std::rethrow_exception(failure);
        if constexpr (!std::is_void_v<T>) return std::move(*result);
    }

    void runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            io.run_one_for(std::chrono::milliseconds(20));
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("relay did not get there in 60 s");
        }
    }

    void drain() {
        for (int i = 0; i < 50; ++i) io.poll();
    }

    std::uint16_t port() const { return *controller->port(); }

    // A connection to the relay from 127.0.0.1, or from source (any address in 127.0.0.0/8, all
    // of which Linux answers on loopback), so that tests can stand for many hosts.
    asio::awaitable<asio::ip::tcp::socket> connect(
        asio::ip::address_v4 source = asio::ip::address_v4::loopback());
    // A device's pairing: the whole client side, returning the grant it received.
    asio::awaitable<PairingGrant> pair(std::string code, std::string clientName,
                                       std::string source = "127.0.0.1");
    // Opens pairing, pairs a device under name from 127.0.0.1, and returns its grant once the
    // relay has closed the window.
    PairingGrant pairNewDevice(const std::string& name);
    // A connection that asks for pairing and goes away, as a device polling for an open code
    // does; returns once the relay has read its preamble.
    asio::awaitable<void> probePairing(std::string source);
    // A paired device's connection, handshake done.
    asio::awaitable<RelayClient> openPaired(
        UUID deviceID, SymmetricKey psk,
        asio::ip::address_v4 source = asio::ip::address_v4::loopback());

    // The last PairingEnded event, if any.
    std::optional<PairingEnded> lastPairingEnded() const;

private:
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

}  // namespace kestrel::testing
