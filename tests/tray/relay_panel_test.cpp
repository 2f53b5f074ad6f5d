// The panel drawn from given states: what each shows and which controls it offers.

#include "app/tray/relay_panel.hpp"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

using namespace std::chrono_literals;

const Date now = std::chrono::system_clock::now();

// Visible label texts of the panel, top to bottom and left to right as laid out.
std::vector<std::string> visibleTexts(QWidget& panel) {
    panel.layout()->activate();
    std::vector<std::pair<QPoint, std::string>> found;
    for (const QLabel* label : panel.findChildren<QLabel*>()) {
        if (label->isVisibleTo(&panel) && !label->text().isEmpty())
            found.emplace_back(label->mapTo(&panel, QPoint()), label->text().toStdString());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::pair(a.first.y(), a.first.x()) < std::pair(b.first.y(), b.first.x());
    });
    std::vector<std::string> texts;
    for (auto& [at, text] : found) texts.push_back(std::move(text));
    return texts;
}

class RelayPanelTest : public ::testing::Test {
protected:
    RelayPanelTest() {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale::getUS(), status);
        panel_.setClock([] { return now; });
        panel_.show();  // laid out as the user sees it
    }

    template <typename T>
    T* child(const char* name, const QWidget* within = nullptr) {
        T* found = (within ? within : &panel_)->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    bool visible(const QWidget* widget) { return widget->isVisibleTo(&panel_); }

    RelayPanel panel_;
};

RelayState running() {
    RelayState state;
    state.isRunning = true;
    state.relayName = "Desk";
    state.agentSocket = "/run/user/1000/ssh-agent.socket";
    return state;
}

TEST_F(RelayPanelTest, EachStateShowsItsTextsAndControls) {
    RelayState stopped;
    stopped.relayName = "Desk";
    stopped.startError = "cannot listen on port 22: Permission denied";
    RelayState pairing = running();
    pairing.pairingCode = "042917";
    RelayState failedPairing = running();
    failedPairing.pairingMessage = "5 wrong codes: pairing closed.";

    const struct {
        const char* name;
        RelayState state;
        std::vector<std::string> expected;
        bool pairVisible, pairEnabled;
    } cases[] = {
        {"stopped",
         stopped,
         {"Relay stopped", "Desk", "cannot listen on port 22: Permission denied", "Paired Devices",
          "None yet.", "Agent socket", "not found"},
         true,
         false},
        {"running",
         running(),
         {"Relay running", "Desk", "Paired Devices", "None yet.", "Agent socket",
          "ssh-agent.socket"},
         true,
         true},
        {"pairing open",
         pairing,
         {"Relay running", "Desk", "Pairing code", "042917",
          "Enter this in Kestrel to pair a device.", "Paired Devices", "None yet.", "Agent socket",
          "ssh-agent.socket"},
         false,
         true},
        {"pairing failed",
         failedPairing,
         {"Relay running", "Desk", "5 wrong codes: pairing closed.", "Paired Devices", "None yet.",
          "Agent socket", "ssh-agent.socket"},
         true,
         true},
    };
    for (const auto& [name, state, expected, pairVisible, pairEnabled] : cases) {
        SCOPED_TRACE(name);
        panel_.setState(state);
        EXPECT_EQ(visibleTexts(panel_), expected);
        auto* pair = child<QPushButton>("pairButton");
        EXPECT_EQ(pair->text().toStdString(), "Pair New Device\u2026");
        EXPECT_EQ(visible(pair), pairVisible);
        EXPECT_EQ(pair->isEnabled(), pairEnabled);
        EXPECT_EQ(visible(child<QPushButton>("cancelPairingButton")), !pairVisible);
        EXPECT_NE(child<QLabel>("statusDot")
                      ->styleSheet()
                      .indexOf(state.isRunning ? "#34c759" : "#8e8e93"),
                  -1);
    }
}

TEST_F(RelayPanelTest, DeviceRowsInPairingOrderAndAHeldDeviceWithItsAnswers) {
    RelayState state = running();
    state.devices = {
        {"5E0C0D3A-0000-4000-8000-000000000001", "Pixel 8", now - 2h, false, {}, {}},
        {"5E0C0D3A-0000-4000-8000-000000000002", "iPad", std::nullopt, false, {}, {}},
        {"5E0C0D3A-0000-4000-8000-000000000003",
         "Unknown phone",
         std::nullopt,
         true,
         {"1 pairing attempt from 192.0.2.7 while this code was open"},
         {}},
    };
    panel_.setState(state);

    const auto rows = child<QWidget>("devices")->findChildren<QWidget*>(
        QRegularExpression("^device:"), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(rows.size(), 3);
    const struct {
        std::string name, usage;
        bool held;
    } expected[] = {{"Pixel 8", "used 2 hours ago", false},
                    {"iPad", "never used", false},
                    {"Unknown phone", "never used", true}};
    for (int index = 0; index < 3; ++index) {
        const QWidget* row = rows[index];
        SCOPED_TRACE(expected[index].name);
        EXPECT_EQ(row->objectName().toStdString(), "device:" + state.devices[index].deviceID);
        EXPECT_EQ(child<QLabel>("deviceName", row)->text().toStdString(), expected[index].name);
        EXPECT_EQ(child<QLabel>("usageLine", row)->text().toStdString(), expected[index].usage);
        if (expected[index].held) {
            EXPECT_EQ(child<QLabel>("evidence", row)->text().toStdString(),
                      state.devices[index].evidence[0]);
            EXPECT_EQ(child<QPushButton>("allowButton", row)->text(), "Allow");
            EXPECT_EQ(child<QPushButton>("revokeButton", row)->text(), "Revoke");
        } else {
            const auto* trash = child<QToolButton>("revokeButton", row);
            EXPECT_EQ(trash->toolTip(), "Revoke this device");
            EXPECT_FALSE(trash->icon().isNull());
            EXPECT_EQ(row->findChild<QPushButton*>("allowButton"), nullptr);
        }
    }
    EXPECT_EQ(panel_.findChild<QLabel*>("noDevices"), nullptr);
}

TEST_F(RelayPanelTest, ALongSocketNameKeepsItsEndsOnOneLine) {
    const std::string name =
        "agent-socket-with-a-name-far-too-long-for-the-panel-" + std::string(40, 'x') + ".sock";
    RelayState state = running();
    state.agentSocket = "/tmp/" + name;
    panel_.setState(state);
    const auto* socket = child<MiddleElidedLabel>("agentSocketName");
    const QString shown = socket->text();
    EXPECT_TRUE(shown.startsWith("agent-socket")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("xx.sock")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_LE(socket->fontMetrics().horizontalAdvance(shown), socket->width());
    EXPECT_EQ(socket->toolTip().toStdString(), name);
    EXPECT_LE(panel_.width(), RelayPanel::panelWidth);
}

// Typing outruns the relay: states that echo earlier edits must not undo later typing, while a
// change made elsewhere (the CLI's config set) is shown.
TEST_F(RelayPanelTest, TheSocketFieldKeepsTypingThatTheRelayHasNotEchoedYet) {
    auto* field = child<QLineEdit>("socketOverride");
    EXPECT_EQ(field->placeholderText(), "Custom socket path (optional)");
    std::vector<QString> edits;
    QObject::connect(&panel_, &RelayPanel::socketOverrideEdited,
                     [&](const QString& text) { edits.push_back(text); });
    panel_.setState(running());
    field->setFocus();
    QTest::keyClicks(field, "/a/b");
    EXPECT_EQ(edits, (std::vector<QString>{"/", "/a", "/a/", "/a/b"}));
    for (const char* echoed : {"/", "/", "/a", "/a/", "/a/b", "/a/b"}) {
        RelayState state = running();
        state.socketOverride = echoed;
        panel_.setState(state);
        EXPECT_EQ(field->text(), "/a/b") << "after the echo of " << echoed;
    }
    RelayState fromCli = running();
    fromCli.socketOverride = "/elsewhere/agent.sock";
    panel_.setState(fromCli);
    EXPECT_EQ(field->text(), "/elsewhere/agent.sock");
}

}  // namespace
}  // namespace kestrel
