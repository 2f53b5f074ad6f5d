// The tray app with a real relay in the same process (its own relay thread, file stores in a
// private HOME), a real ssh-agent, and devices that are the protocol library's client role over
// real TCP on loopback, as the phone app is. The test thread is the UI thread.

#include "app/tray/tray_app.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "platform/file_secret_store.hpp"
#include "platform/file_settings_store.hpp"
#include "protocol/connection_preamble.hpp"
#include "protocol/pairing.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/fake_agent.hpp"
#include "relay/relay_client.hpp"
#include "relay/sign_purpose.hpp"
#include "support/child_process.hpp"
#include "support/scoped_environment.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironmentVariable;
using testing::SSHAgentFixture;
using testing::TemporaryDirectory;

// A private HOME for the relay's settings, keys and control socket, and no session bus: the
// keys go to a file and no notification reaches the user's desktop.
class PrivateHome {
public:
    PrivateHome() {
        fs::create_directories(home_.path() / "run");
        fs::permissions(home_.path() / "run", fs::perms::owner_all);
    }
    fs::path path() const { return home_.path(); }

private:
    TemporaryDirectory home_;
    ScopedEnvironmentVariable homeVariable_{"HOME", home_.path().string()};
    ScopedEnvironmentVariable config_{"XDG_CONFIG_HOME", (home_.path() / "config").string()};
    ScopedEnvironmentVariable data_{"XDG_DATA_HOME", (home_.path() / "data").string()};
    ScopedEnvironmentVariable runtime_{"XDG_RUNTIME_DIR", (home_.path() / "run").string()};
    ScopedEnvironmentVariable bus_{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
    ScopedEnvironmentVariable agent_{"SSH_AUTH_SOCK", std::nullopt};
};

class TrayAppTest : public ::testing::Test {
protected:
    TrayAppTest() : app_(TrayRelay::Options{{std::uint16_t{0}, "Tray Test", "file"}, {}}) {
        connect(&app_.relay(), &TrayRelay::stateChanged,
                [this](const RelayState& state) { state_ = state; });
        waitFor([&] { return state_.isRunning; }, "the relay to start");
        std::atomic<int> port = 0;
        app_.relay().post([&](RelayRuntime* runtime) { port = *runtime->controller().port(); });
        waitFor([&] { return port != 0; }, "the port");
        port_ = static_cast<std::uint16_t>(port.load());
        app_.showPanel();  // laid out as the user sees it, so that clicks land
    }

    template <typename Sender, typename Signal, typename Slot>
    static void connect(Sender* sender, Signal signal, Slot slot) {
        QObject::connect(sender, signal, sender, slot);
    }

    // Runs the UI's event loop and the devices' I/O until done (or fails after 20 s).
    void waitFor(const std::function<bool()>& done, const std::string& what) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            clientIO_.poll();
            clientIO_.restart();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("waited 20 s for " + what);
        }
    }

    template <typename T>
    T runClient(asio::awaitable<T> task) {
        std::optional<T> result;
        std::exception_ptr failure;
        bool done = false;
        asio::co_spawn(
            clientIO_, [&]() -> asio::awaitable<void> { result.emplace(co_await std::move(task)); },
            [&](std::exception_ptr error) {
                failure = error;
                done = true;
            });
        waitFor([&] { return done; }, "a device");
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }

    asio::awaitable<asio::ip::tcp::socket> connectFrom(std::string source) {
        asio::ip::tcp::socket socket(clientIO_);
        socket.open(asio::ip::tcp::v4());
        socket.bind({asio::ip::make_address_v4(source), 0});
        co_await socket.async_connect({asio::ip::address_v4::loopback(), port_},
                                      asio::use_awaitable);
        co_return socket;
    }

    // "Pair New Device…" pressed; the code it shows.
    std::string openPairing() {
        waitFor([&] { return child<QWidget>("pairButton")->isVisible(); }, "the pair button");
        click(child<QPushButton>("pairButton"));
        return shownCode();
    }

    // A device pairing with the code on screen; returns once the panel lists it.
    PairingGrant pairDevice(const std::string& code, const std::string& name,
                            const std::string& source = "127.0.0.1") {
        const PairingGrant grant =
            runClient([](TrayAppTest* test, std::string typed, std::string deviceName,
                         std::string from) -> asio::awaitable<PairingGrant> {
                RelayClient client = co_await RelayClient::open(
                    co_await test->connectFrom(from),
                    ConnectionPreamble(ConnectionMode::pairing, std::nullopt, deviceName),
                    Pairing::bootstrapPSK(typed));
                co_return co_await client.receivePairingGrant();
            }(this, code, name, source));
        waitFor([&] { return row(grant.deviceID) && child<QWidget>("pairButton")->isVisible(); },
                "the device's row");
        return grant;
    }

    // A device asking for pairing and going away, as one polling for an open code does.
    void probePairing(const std::string& source) {
        runClient([](TrayAppTest* test, std::string from) -> asio::awaitable<bool> {
            asio::ip::tcp::socket socket = co_await test->connectFrom(from);
            const Bytes preamble =
                ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Probe").serialized();
            const std::uint32_t length = htonl(static_cast<std::uint32_t>(preamble.size()));
            co_await asio::async_write(socket, asio::buffer(&length, 4), asio::use_awaitable);
            co_await asio::async_write(socket, asio::buffer(preamble), asio::use_awaitable);
            socket.shutdown(asio::ip::tcp::socket::shutdown_send);
            std::uint8_t byte = 0;
            try {
                co_await socket.async_read_some(asio::buffer(&byte, 1), asio::use_awaitable);
            } catch (const std::system_error&) {
            }
            co_return true;
        }(this, source));
    }

    RelayClient openPaired(const PairingGrant& grant) {
        return runClient(
            [](TrayAppTest* test, PairingGrant paired) -> asio::awaitable<RelayClient> {
                co_return co_await RelayClient::open(
                    co_await test->connectFrom("127.0.0.1"),
                    ConnectionPreamble(ConnectionMode::paired, paired.deviceID, "Device"),
                    paired.pskData);
            }(this, grant));
    }

    Bytes request(RelayClient& client, Bytes message) {
        return runClient([](RelayClient& device, Bytes body) -> asio::awaitable<Bytes> {
            co_return co_await device.agentRequest(body);
        }(client, std::move(message)));
    }

    template <typename T = QWidget>
    T* child(const QString& name, const QWidget* within = nullptr) {
        T* found = (within ? within : &app_.panel())->findChild<T*>(name);
        if (found == nullptr) throw std::runtime_error("no widget " + name.toStdString());
        return found;
    }

    QWidget* row(const UUID& deviceID) {
        return app_.panel().findChild<QWidget*>("device:" +
                                                QString::fromStdString(deviceID.uuidString()));
    }

    std::string shownCode() {
        waitFor([&] { return child<QWidget>("pairingCode")->isVisible(); }, "the code");
        return child<QLabel>("pairingCode")->text().toStdString();
    }

    // A click near the button's left edge: on a check box's box, which a click in the middle of
    // a wide row would miss.
    void click(QAbstractButton* button) {
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
    }

    // Whether the tray icon draws as the icon in this file.
    bool iconIs(const char* file) {
        const QImage shown = app_.trayIcon().icon().pixmap(32, 32).toImage();
        return !shown.isNull() && shown == QIcon(file).pixmap(32, 32).toImage();
    }

    void useAgent(const std::string& path) {
        app_.relay().setSocketOverride(QString::fromStdString(path));
        waitFor([&] { return state_.agentSocket == path; }, "the socket override");
    }

    PrivateHome home_;
    SSHAgentFixture agent_;
    TrayApp app_;
    RelayState state_;
    std::uint16_t port_ = 0;
    asio::io_context clientIO_;
};

TEST_F(TrayAppTest, PairUseAndRevokeADeviceFromThePanel) {
    QWidget& panel = app_.panel();
    EXPECT_EQ(child<QLabel>("statusTitle")->text(), "Relay running");
    EXPECT_EQ(child<QLabel>("relayName")->text(), "Tray Test");
    EXPECT_TRUE(child<QLabel>("noDevices")->isVisibleTo(&panel));

    // Pairing opens and cancels.
    EXPECT_EQ(openPairing().size(), 6u);
    click(child<QPushButton>("cancelPairingButton"));
    waitFor([&] { return child<QWidget>("pairButton")->isVisibleTo(&panel); }, "pairing to close");
    EXPECT_FALSE(state_.pairingCode);

    // A device pairs with the code on screen and shows up, never used yet.
    const PairingGrant grant = pairDevice(openPairing(), "Pixel 8");
    EXPECT_EQ(child<QLabel>("deviceName", row(grant.deviceID))->text(), "Pixel 8");
    EXPECT_EQ(child<QLabel>("usageLine", row(grant.deviceID))->text(), "never used");
    EXPECT_TRUE(child<QWidget>("pairButton")->isVisibleTo(&panel));

    // The path typed into the field is stored with each keystroke and picks the agent at once.
    auto* field = child<QLineEdit>("socketOverride");
    field->setFocus();
    QTest::keyClicks(field, QString::fromStdString(agent_.socketPath()));
    waitFor([&] { return state_.agentSocket == agent_.socketPath(); }, "the typed path");
    EXPECT_EQ(child<QLabel>("agentSocketName")->text(), "agent.sock");
    EXPECT_EQ(FileSettingsStore().value("socketOverride"), nlohmann::json(agent_.socketPath()));
    QTest::keyClick(field, Qt::Key_Backspace);
    waitFor([&] { return !state_.agentSocket; }, "the shortened path");
    EXPECT_EQ(child<QLabel>("agentSocketName")->text(), "not found");
    EXPECT_EQ(FileSettingsStore().value("socketOverride"),
              nlohmann::json(agent_.socketPath().substr(0, agent_.socketPath().size() - 1)));
    QTest::keyClick(field, 'k');

    // Once used, the row says when.
    RelayClient device = openPaired(grant);
    const Bytes answer = request(device, SSHAgentProtocol::encodeRequestIdentities());
    EXPECT_EQ(
        SSHAgentProtocol::decodeIdentitiesAnswer(SSHAgentProtocol::deframe(answer)->body).size(),
        1u);
    waitFor(
        [&] { return child<QLabel>("usageLine", row(grant.deviceID))->text().startsWith("used "); },
        "the usage line");

    // The trash button revokes at once: the row, the key and the connection go.
    ASSERT_TRUE(FileSecretStore().load(RelayController::keyService, grant.deviceID.uuidString()));
    click(child<QToolButton>("revokeButton", row(grant.deviceID)));
    waitFor([&] { return row(grant.deviceID) == nullptr; }, "the row to go");
    EXPECT_TRUE(child<QLabel>("noDevices")->isVisibleTo(&panel));
    EXPECT_FALSE(FileSecretStore().load(RelayController::keyService, grant.deviceID.uuidString()))
        << "the device's key is still stored";
    EXPECT_THROW(openPaired(grant), std::system_error);
}

TEST_F(TrayAppTest, AHeldDeviceShowsWhyAndUsesTheAgentOnceAllowed) {
    useAgent(agent_.socketPath());
    const std::string code = openPairing();
    probePairing("127.0.0.3");  // someone else asks while the code is open
    const PairingGrant grant = pairDevice(code, "Phone");
    EXPECT_TRUE(state_.hasHeldDevice());
    EXPECT_TRUE(iconIs(":/kestrel/kestrel-relay-attention.svg")) << "the icon shows no waiting";
    EXPECT_EQ(child<QLabel>("evidence", row(grant.deviceID))->text().toStdString(),
              "1 pairing attempt from 127.0.0.3 while this code was open");
    RelayClient device = openPaired(grant);
    EXPECT_EQ(request(device, SSHAgentProtocol::encodeRequestIdentities()),
              SSHAgentProtocol::encodeFailure())
        << "a held device reached the agent";

    click(child<QPushButton>("allowButton", row(grant.deviceID)));
    waitFor([&] { return !state_.hasHeldDevice(); }, "the device to be allowed");
    EXPECT_TRUE(iconIs(":/kestrel/kestrel-relay.svg"));
    EXPECT_NE(row(grant.deviceID)->findChild<QToolButton*>("revokeButton"), nullptr);
    EXPECT_EQ(row(grant.deviceID)->findChild<QWidget*>("allowButton"), nullptr);
    EXPECT_NE(request(device, SSHAgentProtocol::encodeRequestIdentities()),
              SSHAgentProtocol::encodeFailure());
}

// Device A signs through an agent that holds its request; device B signs through the real agent
// meanwhile. One notice, naming A, stays up through B's answer and goes with A's.
TEST_F(TrayAppTest, OverlappingSignaturesShareOneNotice) {
    const PairingGrant first = pairDevice(openPairing(), "Device A");
    const PairingGrant second = pairDevice(openPairing(), "Device B");
    RelayClient a = openPaired(first);
    RelayClient b = openPaired(second);
    useAgent(agent_.socketPath());
    const auto identities = SSHAgentProtocol::decodeIdentitiesAnswer(
        SSHAgentProtocol::deframe(request(b, SSHAgentProtocol::encodeRequestIdentities()))->body);
    ASSERT_EQ(identities.size(), 1u);
    const Bytes sign =
        SSHAgentProtocol::encodeSignRequest(identities[0].keyBlob, toBytes("commit"), {});

    const TemporaryDirectory sockets;
    const std::string holdingPath = (sockets.path() / "holding.sock").string();
    auto holding = std::make_unique<testing::ScriptedAgentFake>(
        holdingPath, testing::ScriptedAgentFake::Script{.reply = {}, .holdOpen = true});
    useAgent(holdingPath);
    std::optional<Bytes> firstAnswer;
    asio::co_spawn(
        clientIO_, [&]() -> asio::awaitable<void> { firstAnswer = co_await a.agentRequest(sign); },
        asio::detached);
    SignatureNoticeWindow& notice = app_.notice();
    waitFor([&] { return notice.isVisible(); }, "the notice");
    EXPECT_EQ(notice.windowTitle(), "SSH Signature Request");
    // 380 wide, and taller than 150 only for what the signature is for.
    EXPECT_EQ(notice.width(), 380);
    EXPECT_GE(notice.height(), 150);
    EXPECT_EQ(notice.findChild<QLabel*>("detailText")->text().remove(QChar(0x200B)).toStdString(),
              "sign 6 bytes of data with \u201C" + identities[0].comment + "\u201D " +
                  keyFingerprint(identities[0].keyBlob));
    EXPECT_TRUE(notice.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(notice.findChild<QLabel*>("deviceText")->text().toStdString(),
              "\u201CDevice A\u201D is connecting and needs to sign with a key in your agent.");
    EXPECT_FALSE(notice.findChild<QLabel*>("onePasswordText")->isVisibleTo(&notice))
        << "1Password is not the agent here";

    useAgent(agent_.socketPath());
    const Bytes secondAnswer = request(b, sign);
    EXPECT_EQ(SSHAgentProtocol::messageType(SSHAgentProtocol::deframe(secondAnswer)->body),
              SSHAgentMessageType::signResponse);
    QCoreApplication::processEvents();
    EXPECT_TRUE(notice.isVisible()) << "B's answer took down the notice A still needs";
    EXPECT_NE(notice.findChild<QLabel*>("deviceText")->text().indexOf("Device A"), -1);

    holding.reset();  // the holding agent goes away: A gets its failure answer
    waitFor([&] { return firstAnswer.has_value(); }, "A's answer");
    EXPECT_EQ(*firstAnswer, SSHAgentProtocol::encodeFailure());
    waitFor([&] { return !notice.isVisible(); }, "the notice to go");
}

// A device set to ask: its question says what is signed; Deny fails the request, "Allow for 10
// Minutes" lets it and the next one through without asking; the icon's menu opens the recent
// activity with all of it, newest first.
TEST_F(TrayAppTest, AnAskingDeviceIsAnsweredFromItsQuestionAndShowsInTheActivity) {
    const PairingGrant grant = pairDevice(openPairing(), "Asking Phone");
    RelayClient device = openPaired(grant);
    useAgent(agent_.socketPath());
    std::atomic<bool> set = false;
    app_.relay().post([&](RelayRuntime* runtime) {
        runtime->controller().setDeviceSettings(grant.deviceID,
                                                {DeviceSettings::Approval::ask, std::nullopt});
        set = true;
    });
    waitFor([&] { return set.load(); }, "the setting");
    const auto identities = SSHAgentProtocol::decodeIdentitiesAnswer(
        SSHAgentProtocol::deframe(request(device, SSHAgentProtocol::encodeRequestIdentities()))
            ->body);
    ASSERT_EQ(identities.size(), 1u);
    const Bytes sign =
        SSHAgentProtocol::encodeSignRequest(identities[0].keyBlob, toBytes("commit"), {});
    const std::string detail = "sign 6 bytes of data with \u201C" + identities[0].comment +
                               "\u201D " + keyFingerprint(identities[0].keyBlob);
    const auto isSignature = [](const Bytes& answer) {
        return SSHAgentProtocol::messageType(SSHAgentProtocol::deframe(answer)->body) ==
               SSHAgentMessageType::signResponse;
    };
    const auto askAndAnswer = [&](const char* button) {
        std::optional<Bytes> answer;
        asio::co_spawn(
            clientIO_,
            [&]() -> asio::awaitable<void> { answer = co_await device.agentRequest(sign); },
            asio::detached);
        waitFor([&] { return !app_.approvals().empty(); }, "the question");
        SignatureApprovalWindow& question = *app_.approvals().begin()->second;
        EXPECT_TRUE(question.isVisible());
        EXPECT_TRUE(question.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        EXPECT_EQ(
            question.findChild<QLabel*>("questionText")->text().remove(QChar(0x200B)).toStdString(),
            "\u201CAsking Phone\u201D asks to " + detail + ".");
        // Keys typed while it is up answer nothing; only a click does.
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Escape})
            QTest::keyClick(&question, key);
        EXPECT_TRUE(question.findChild<QPushButton*>("allowButton")->isEnabled());
        EXPECT_EQ(app_.approvals().size(), 1u);
        QTest::mouseClick(question.findChild<QPushButton*>(button), Qt::LeftButton);
        waitFor([&] { return answer.has_value(); }, "the answer");
        waitFor([&] { return app_.approvals().empty(); }, "the question to go");
        return *answer;
    };
    EXPECT_EQ(askAndAnswer("denyButton"), SSHAgentProtocol::encodeFailure());
    EXPECT_TRUE(isSignature(askAndAnswer("allowForTenMinutesButton")));
    EXPECT_TRUE(isSignature(request(device, sign)));
    EXPECT_TRUE(app_.approvals().empty()) << "asked again within the 10 minutes";

    QAction* recent = nullptr;
    for (QAction* action : app_.menu().actions())
        if (action->text() == QStringLiteral("Recent activity\u2026")) recent = action;
    ASSERT_NE(recent, nullptr);
    recent->trigger();
    const QTreeWidget& table = app_.activityWindow().table();
    waitFor([&] { return table.topLevelItemCount() == 4; }, "the activity");
    EXPECT_TRUE(app_.activityWindow().isVisible());
    const auto cell = [&](int row, int column) {
        return table.topLevelItem(row)->text(column).toStdString();
    };
    EXPECT_EQ(cell(0, 1), "Asking Phone");
    EXPECT_EQ(cell(0, 2), "sign: " + detail);
    EXPECT_EQ(cell(0, 3), "answered");
    EXPECT_EQ(cell(2, 3), "denied (by the user)");
    EXPECT_EQ(cell(3, 2), "list keys");
    // It follows new requests while open.
    request(device, SSHAgentProtocol::encodeRequestIdentities());
    waitFor([&] { return table.topLevelItemCount() == 5; }, "the new request");
}

TEST_F(TrayAppTest, LaunchAtLoginWritesTheAutostartEntryAndShowsWhatIsOnDisk) {
    const fs::path entry = home_.path() / "config/autostart/kestrel-relay-tray.desktop";
    auto* launch = child<QCheckBox>("launchAtLogin");
    EXPECT_FALSE(launch->isChecked());
    click(launch);
    waitFor([&] { return state_.launchAtLogin; }, "launch at login");
    EXPECT_TRUE(fs::exists(entry));
    EXPECT_TRUE(launch->isChecked());
    click(launch);
    waitFor([&] { return !state_.launchAtLogin; }, "launch at login off");
    EXPECT_FALSE(fs::exists(entry));

    // A directory where the entry goes: the switch shows the truth, and the panel says why.
    fs::create_directories(entry);
    click(launch);
    waitFor([&] { return !state_.problem.empty(); }, "the failure");
    EXPECT_FALSE(launch->isChecked());
    EXPECT_TRUE(child<QLabel>("startError")->isVisibleTo(&app_.panel()));

    auto* hide = child<QCheckBox>("hideDockIcon");
    click(hide);
    waitFor([&] { return state_.hideDockIcon; }, "hide dock icon");
    EXPECT_EQ(FileSettingsStore().value("hideDockIcon"), nlohmann::json(true));
}

}  // namespace
}  // namespace kestrel
