// The signature notice as a desktop notification, shown by a real notification server (dunst
// on a headless X server) on a session bus of the test's own, with dbus-monitor watching the
// calls.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "app/relay/relay_runtime.hpp"
#include "platform/desktop_notice_presenter.hpp"
#include "platform/xdg_autostart.hpp"
#include "protocol/connection_preamble.hpp"
#include "protocol/pairing.hpp"
#include "relay/relay_client.hpp"
#include "relay/relay_connection_io.hpp"
#include "support/child_process.hpp"
#include "support/scoped_environment.hpp"
#include "support/session_bus.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class DesktopNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"Xvfb", "dunst", "dunstctl", "dbus-monitor"}) {
            if (runProcess({"sh", "-c", std::string("command -v ") + program}, environmentWith({}))
                    .exitStatus != 0)
                GTEST_SKIP() << program << " is not installed";
        }
        display_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp",
                                                  "-screen", "0", "640x480x24"},
                         environmentWith({}));
        const auto number = display_->readLine(10s);
        ASSERT_TRUE(number) << display_->standardError();
        environment_ = withVariable(bus_.environment(), "DISPLAY", ":" + *number);
        // dunst hands a notification's actions to its "dmenu" program and invokes the one that
        // program prints: this one picks the action whose key is in the file "choice".
        const fs::path picker = configuration_.path() / "pick";
        std::ofstream(picker) << "#!/bin/sh\ngrep -m1 \",$(cat '"
                              << (configuration_.path() / "choice").string() << "')]\"\n";
        fs::permissions(picker, fs::perms::owner_all);
        std::ofstream(configuration_.path() / "dunstrc")
            << "[global]\n    dmenu = " << picker.string() << "\n";
        server_.emplace(std::vector<std::string>{"dunst", "-config",
                                                 (configuration_.path() / "dunstrc").string()},
                        environment_);
        ASSERT_TRUE(bus_.waitForName("org.freedesktop.Notifications")) << server_->standardError();
        monitor_.emplace(std::vector<std::string>{"dbus-monitor", "--session",
                                                  "interface='org.freedesktop.Notifications'"},
                         bus_.environment());
        // Its first line says it is listening.
        ASSERT_TRUE(monitor_->readLine(10s));
    }

    // dunst's count of notifications on screen, once it is `expected` (or the last count).
    int displayedOnceItIs(int expected) {
        int count = -1;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const ProcessOutput output =
                runProcess({"dunstctl", "count", "displayed"}, bus_.environment());
            count = output.exitStatus == 0 ? std::stoi(output.standardOutput) : -1;
            if (count == expected) break;
            std::this_thread::sleep_for(50ms);
        }
        return count;
    }

    // The monitor's lines up to and including the first that contains `text`.
    std::string monitoredUntil(const std::string& text) {
        std::string seen;
        while (const auto line = monitor_->readLine(10s)) {
            seen += *line + "\n";
            if (line->find(text) != std::string::npos) break;
        }
        return seen;
    }

    // The first uint32 argument in a monitored call: the notification's ID.
    static std::string idIn(const std::string& call) {
        const auto start = call.find("uint32 ");
        if (start == std::string::npos) return {};
        const auto end = call.find('\n', start);
        return call.substr(start + 7, end - start - 7);
    }

    // Chooses the action keyed `key` of the notification on top, as the user would in dunst's
    // menu of actions.
    void choose(const std::string& key) {
        std::ofstream(configuration_.path() / "choice") << key;
        ASSERT_EQ(runProcess({"dunstctl", "context"}, environment_).exitStatus, 0);
    }

    PrivateSessionBus bus_;
    TemporaryDirectory configuration_;
    std::vector<std::string> environment_;
    std::optional<ChildProcess> display_;
    std::optional<ChildProcess> server_;
    std::optional<ChildProcess> monitor_;
};

// One notification for overlapping requests: a second show replaces the first (same ID), and the
// hide closes it. The device chose its name; markup in it is shown as text.
TEST_F(DesktopNoticeTest, ShowsReplacesAndClosesOneNotification) {
    auto presenter = DesktopNoticePresenter::connect([] { return false; });
    ASSERT_NE(presenter, nullptr);

    presenter->showNotice("Pixel <b>8</b> & co", "log in as \u201C<i>git</i>\u201D with SHA256:x");
    EXPECT_EQ(displayedOnceItIs(1), 1);
    monitoredUntil("member=Notify");
    const std::string call = monitoredUntil("int32 65000");
    EXPECT_NE(call.find("uint32 0"), std::string::npos) << call;
    EXPECT_NE(call.find("\"SSH signature requested\""), std::string::npos) << call;
    EXPECT_NE(call.find("\u201CPixel &lt;b&gt;8&lt;/b&gt; &amp; co\u201D is connecting and needs "
                        "to sign with a key in your agent.\nIt asks to log in as "
                        "\u201C&lt;i&gt;git&lt;/i&gt;\u201D with SHA256:x.\""),
              std::string::npos)
        << call;
    EXPECT_EQ(call.find("1Password"), std::string::npos) << call;

    presenter->showNotice("Laptop", "sign 12 bytes of data with SHA256:x");
    monitoredUntil("member=Notify");
    const std::string replacing = monitoredUntil("int32 65000");
    const std::string id = idIn(replacing);
    EXPECT_NE(id, "0") << replacing;
    EXPECT_EQ(displayedOnceItIs(1), 1);

    presenter->hideNotice();
    monitoredUntil("member=CloseNotification");
    EXPECT_EQ(idIn(monitoredUntil("uint32")), id);
    EXPECT_EQ(displayedOnceItIs(0), 0);
}

// A sign request that waits for the user: a notification of its own with the three actions,
// whose choice comes back as the answer; the relay takes it down when the wait ends. The same
// signal from another program on the bus is no answer.
TEST_F(DesktopNoticeTest, TheUserAnswersASignRequestFromItsNotification) {
    auto presenter = DesktopNoticePresenter::connect([] { return false; });
    ASSERT_NE(presenter, nullptr);
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, ApprovalDecision>> answers;
    presenter->setApprovalHandler([&](std::uint64_t requestID, ApprovalDecision decision) {
        const std::lock_guard lock(mutex);
        answers.emplace_back(requestID, decision);
    });
    const auto answered = [&] {
        const std::lock_guard lock(mutex);
        return answers;
    };

    presenter->askApproval({7, "Pixel <8>", "log in as \u201Cgit\u201D with SHA256:x"});
    EXPECT_EQ(displayedOnceItIs(1), 1);
    monitoredUntil("member=Notify");
    const std::string call = monitoredUntil("   int32 0");  // the expiry: never
    EXPECT_NE(call.find("\"Allow this SSH signature?\""), std::string::npos) << call;
    EXPECT_NE(call.find("\u201CPixel &lt;8&gt;\u201D asks to log in as \u201Cgit\u201D with "
                        "SHA256:x.\""),
              std::string::npos)
        << call;
    for (const char* action : {"\"allow\"", "\"Allow for 10 minutes\"", "\"deny\""})
        EXPECT_NE(call.find(action), std::string::npos) << call;

    // Another program's signal for the notification changes nothing (the server numbers them
    // from 1, so one of these is its ID).
    for (const char* id : {"1", "2", "3"}) {
        ASSERT_EQ(runProcess({"gdbus", "emit", "--session", "--object-path",
                              "/org/freedesktop/Notifications", "--signal",
                              "org.freedesktop.Notifications.ActionInvoked", id, "allow"},
                             bus_.environment())
                      .exitStatus,
                  0);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(answered().empty()) << "answered by a signal from another program";

    choose("allow-10-minutes");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (answered().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(answered(), (std::vector<std::pair<std::uint64_t, ApprovalDecision>>{
                              {7, ApprovalDecision::allowForTenMinutes}}));
    presenter->endApproval(7);  // as the relay does once the request goes on
    EXPECT_EQ(displayedOnceItIs(0), 0);

    // A question nobody answers is taken down by the relay.
    presenter->askApproval({8, "Pixel", "sign 5 bytes of data with SHA256:x"});
    EXPECT_EQ(displayedOnceItIs(1), 1);
    presenter->endApproval(8);
    EXPECT_EQ(displayedOnceItIs(0), 0);
}

// A device held by the pairing defence waits for the user, who may not be watching the relay:
// the desktop is told once, with the evidence, however often the device is seen again.
TEST_F(DesktopNoticeTest, AHeldDeviceIsAnnouncedOnce) {
    const TemporaryDirectory home;
    fs::create_directories(home.path() / "run");
    fs::permissions(home.path() / "run", fs::perms::owner_all);
    const ScopedEnvironmentVariable homeVariable("HOME", home.path().string());
    const ScopedEnvironmentVariable config("XDG_CONFIG_HOME", (home.path() / "config").string());
    const ScopedEnvironmentVariable data("XDG_DATA_HOME", (home.path() / "data").string());
    const ScopedEnvironmentVariable runtimeDirectory("XDG_RUNTIME_DIR",
                                                     (home.path() / "run").string());
    asio::io_context io;
    RelayRuntime relay(io.get_executor(), {std::uint16_t{0}, "Desk", "file"},
                       {nullptr, std::make_unique<XdgAutostartLoginItem>(
                                     (home.path() / "autostart.desktop").string())});
    relay.start();
    const std::uint16_t port = *relay.controller().port();
    relay.controller().startPairing();
    const std::string code = *relay.controller().pairingCode();

    const auto connectFrom = [&](const char* source) -> asio::awaitable<asio::ip::tcp::socket> {
        asio::ip::tcp::socket socket(io);
        socket.open(asio::ip::tcp::v4());
        socket.bind({asio::ip::make_address_v4(source), 0});
        co_await socket.async_connect({asio::ip::address_v4::loopback(), port},
                                      asio::use_awaitable);
        co_return socket;
    };
    // Someone at another address asks for pairing while the code is open; then the device pairs.
    bool paired = false;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            {
                asio::ip::tcp::socket probe = co_await connectFrom("127.0.0.3");
                const Bytes preamble =
                    ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Probe").serialized();
                co_await RelayConnectionIO(probe).send(preamble);
                co_await asio::steady_timer(io, 200ms).async_wait(asio::use_awaitable);
            }
            RelayClient client = co_await RelayClient::open(
                co_await connectFrom("127.0.0.1"),
                ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Phone"),
                Pairing::bootstrapPSK(code));
            co_await client.receivePairingGrant();
            paired = true;
        },
        asio::detached);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!(paired && !relay.controller().pairingCode()) &&
           std::chrono::steady_clock::now() < deadline)
        io.run_one_for(20ms);
    ASSERT_TRUE(paired);
    const auto devices = relay.controller().store().metadata();
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_TRUE(devices[0].held);

    monitoredUntil("member=Notify");
    const std::string call = monitoredUntil("array [");  // the actions, after the texts
    EXPECT_NE(call.find("\"A paired device waits for approval\""), std::string::npos) << call;
    EXPECT_NE(call.find("\u201CPhone\u201D paired, but cannot use the agent until you allow it.\n"
                        "1 pairing attempt from 127.0.0.3 while this code was open"),
              std::string::npos)
        << call;
    EXPECT_EQ(displayedOnceItIs(1), 1);

    // Evidence against the same device again (another address tries its used code): the relay
    // says so, and the desktop is not told a second time.
    bool suspected = false;
    relay.controller().addObserver([&](const RelayEvent& event) {
        suspected = suspected || std::holds_alternative<PairingSuspicion>(event);
    });
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await RelayClient::open(
                co_await connectFrom("127.0.0.4"),
                ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Other"),
                Pairing::bootstrapPSK(code));
        },
        asio::detached);
    while (!suspected && std::chrono::steady_clock::now() < deadline) io.run_one_for(20ms);
    ASSERT_TRUE(suspected);
    for (const auto end = std::chrono::steady_clock::now() + 500ms;
         std::chrono::steady_clock::now() < end;)
        io.run_one_for(20ms);
    EXPECT_EQ(displayedOnceItIs(1), 1);
    relay.stop();
}

TEST(DesktopNoticeTextTest, NamesOnePasswordOnlyWhenItIsTheAgent) {
    EXPECT_EQ(DesktopNoticePresenter::body("Phone", "", false).find("1Password"),
              std::string::npos);
    EXPECT_NE(DesktopNoticePresenter::body("Phone", "", true)
                  .find("\nApprove it in 1Password \u2014 if no dialog appears"),
              std::string::npos);
}

// No notification server on the bus, and none to start: the relay keeps its line on standard
// error.
TEST(DesktopNoticeFallbackTest, NoServerGivesNoPresenter) {
    const PrivateSessionBus bus(false);
    EXPECT_EQ(DesktopNoticePresenter::connect({}), nullptr);
    const ScopedEnvironmentVariable noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    EXPECT_EQ(DesktopNoticePresenter::connect({}), nullptr);
}

}  // namespace
}  // namespace kestrel::testing
