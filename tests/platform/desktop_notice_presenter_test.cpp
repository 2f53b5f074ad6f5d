// The signature notice as a desktop notification, shown by a real notification server (dunst
// on a headless X server) on a session bus of the test's own, with dbus-monitor watching the
// calls.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/desktop_notice_presenter.hpp"
#include "support/child_process.hpp"
#include "support/session_bus.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

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
        const auto environment = withVariable(bus_.environment(), "DISPLAY", ":" + *number);
        server_.emplace(std::vector<std::string>{"dunst"}, environment);
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

    PrivateSessionBus bus_;
    std::optional<ChildProcess> display_;
    std::optional<ChildProcess> server_;
    std::optional<ChildProcess> monitor_;
};

// One notification for overlapping requests: a second show replaces the first (same ID), and the
// hide closes it. The device chose its name; markup in it is shown as text.
TEST_F(DesktopNoticeTest, ShowsReplacesAndClosesOneNotification) {
    auto presenter = DesktopNoticePresenter::connect([] { return false; });
    ASSERT_NE(presenter, nullptr);

    presenter->showNotice("Pixel <b>8</b> & co");
    EXPECT_EQ(displayedOnceItIs(1), 1);
    monitoredUntil("member=Notify");
    const std::string call = monitoredUntil("int32 65000");
    EXPECT_NE(call.find("uint32 0"), std::string::npos) << call;
    EXPECT_NE(call.find("\"SSH signature requested\""), std::string::npos) << call;
    EXPECT_NE(call.find("\u201CPixel &lt;b&gt;8&lt;/b&gt; &amp; co\u201D is connecting and needs "
                        "to sign with a key in your agent.\""),
              std::string::npos)
        << call;
    EXPECT_EQ(call.find("1Password"), std::string::npos) << call;

    presenter->showNotice("Laptop");
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

TEST(DesktopNoticeTextTest, NamesOnePasswordOnlyWhenItIsTheAgent) {
    EXPECT_EQ(DesktopNoticePresenter::body("Phone", false).find("1Password"), std::string::npos);
    EXPECT_NE(DesktopNoticePresenter::body("Phone", true)
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
