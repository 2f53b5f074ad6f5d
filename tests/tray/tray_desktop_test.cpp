// The built kestrel-relay-tray on a real X server (Xvfb) with trayer as the tray host, and the
// whole chain behind it: kestrel-relay pair through its control socket, kestrel-agent as the
// paired client, OpenSSH's ssh-keygen signing, and a real ssh-agent that asks the user before
// each use of its key (ssh-add -c, answered by an askpass program after two seconds) so that the
// signature lasts long enough to look at the notice.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "support/child_process.hpp"

namespace kestrel::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

void waitFor(const std::function<bool()>& done, const std::string& what,
             std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("waited " + std::to_string(limit.count()) + " s for " + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void writeExecutable(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all);
}

class TrayDesktopTest : public ::testing::Test {
protected:
    TrayDesktopTest() {
        fs::create_directories(home_.path() / "run");
        fs::permissions(home_.path() / "run", fs::perms::owner_all);
        // A display number nobody uses: Xvfb picks one and writes it to a file.
        xvfb_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24",
                                     "-nolisten", "tcp"},
            environmentWith({}));
        const auto display = xvfb_->readLine();
        if (!display) throw std::runtime_error("Xvfb: " + xvfb_->standardError());
        display_ = ":" + *display;
        environment_ = environmentWith({{"DISPLAY", display_},
                                        {"HOME", home_.path().string()},
                                        {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                                        {"XDG_DATA_HOME", (home_.path() / "data").string()},
                                        {"XDG_RUNTIME_DIR", (home_.path() / "run").string()}});
        trayer_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                     "pixel", "--width", "120", "--height", "24"},
            environment_);
        waitFor([&] { return !panelWindow().empty(); }, "trayer's panel");
        startAgent();
    }

    // ssh-agent with one ed25519 key that it asks about before each use.
    void startAgent() {
        const fs::path askpass = home_.path() / "askpass";
        writeExecutable(askpass, "#!/bin/sh\nsleep 2\nexit 0\n");
        agentSocket_ = (home_.path() / "agent.sock").string();
        agent_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"ssh-agent", "-D", "-a", agentSocket_},
            withVariable(withVariable(environment_, "SSH_ASKPASS", askpass.string()),
                         "SSH_ASKPASS_REQUIRE", "force"));
        waitFor([&] { return fs::exists(agentSocket_); }, "ssh-agent");
        key_ = home_.path() / "key";
        runOrThrow({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "asks-first", "-f",
                    key_.string()},
                   environment_);
        runOrThrow({"ssh-add", "-q", "-c", key_.string()},
                   withVariable(environment_, "SSH_AUTH_SOCK", agentSocket_));
        fs::remove(key_);  // the agent is the only holder of the private key
    }

    ProcessOutput x(const std::vector<std::string>& arguments) {
        return runProcess(arguments, environment_);
    }

    // The id of trayer's panel window, from the window tree.
    std::string panelWindow() {
        static const std::regex panel(R"((0x[0-9a-f]+) "panel": \("panel" "trayer"\))");
        std::smatch match;
        const std::string tree = x({"xwininfo", "-root", "-tree"}).standardOutput;
        return std::regex_search(tree, match, panel) ? match[1].str() : "";
    }

    // "IsViewable", "IsUnMapped", or "" while the window does not exist.
    std::string mapState(const std::string& name) {
        static const std::regex state(R"(Map State: (\w+))");
        std::smatch match;
        const std::string info = x({"xwininfo", "-name", name}).standardOutput;
        return std::regex_search(info, match, state) ? match[1].str() : "";
    }

    std::vector<std::string> relayEnvironment() {
        return withVariable(environment_, "SSH_AUTH_SOCK", agentSocket_);
    }

    TemporaryDirectory home_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::string display_;
    std::vector<std::string> environment_;
    std::unique_ptr<ChildProcess> trayer_;
    std::unique_ptr<ChildProcess> agent_;
    std::string agentSocket_;
    fs::path key_;
};

TEST_F(TrayDesktopTest, TheIconSitsInTheTrayOpensThePanelAndTheNoticeShowsDuringASignature) {
    ChildProcess tray({KESTREL_RELAY_TRAY, "--name", "Desk"}, relayEnvironment());
    // The icon is embedded: a window of ours inside trayer's panel.
    waitFor(
        [&] {
            return x({"xwininfo", "-tree", "-id", panelWindow()})
                       .standardOutput.find("\"kestrel-relay-tray\"") != std::string::npos;
        },
        "the icon in the tray");

    // A click on the icon opens the panel beside it, a normal window (in the task bar) until
    // "Hide Dock icon" is set, here from the CLI, which reaches the tray's relay on its control
    // socket: then a utility window, which task bars leave out.
    static const std::regex iconLine(R"((0x[0-9a-f]+) "[^"]*": \("kestrel-relay-tray")");
    std::smatch icon;
    const std::string panelTree = x({"xwininfo", "-tree", "-id", panelWindow()}).standardOutput;
    ASSERT_TRUE(std::regex_search(panelTree, icon, iconLine)) << panelTree;
    x({"xdotool", "mousemove", "--window", icon[1].str(), "5", "5", "click", "1"});
    waitFor([&] { return mapState("Kestrel Agent Relay") == "IsViewable"; }, "the panel");
    const auto windowType = [&] {
        return x({"xprop", "-name", "Kestrel Agent Relay", "_NET_WM_WINDOW_TYPE"}).standardOutput;
    };
    EXPECT_EQ(windowType().find("UTILITY"), std::string::npos) << windowType();
    runOrThrow({KESTREL_RELAY, "config", "set", "hide-dock-icon", "true"}, environment_);
    waitFor([&] { return windowType().find("UTILITY") != std::string::npos; },
            "the panel to leave the task bar");
    EXPECT_EQ(mapState("Kestrel Agent Relay"), "IsViewable");

    // Paired through the CLI.
    ChildProcess pair({KESTREL_RELAY, "pair", "--json"}, environment_);
    const std::string code = Json::parse(pair.readLine().value())["code"];
    const auto status = runOrThrow({KESTREL_RELAY, "status", "--json"}, environment_);
    const int port = Json::parse(status.standardOutput)["port"];
    runOrThrow({KESTREL_AGENT, "pair", "--relay", "127.0.0.1:" + std::to_string(port), "--name",
                "laptop", "--code", code},
               environment_);
    EXPECT_EQ(Json::parse(pair.readLine().value())["result"], "paired");
    const std::string clientSocket = (home_.path() / "client.sock").string();
    ChildProcess client({KESTREL_AGENT, "serve", "-D", "--socket", clientSocket}, environment_);
    ASSERT_TRUE(client.readLine()) << client.standardError();

    // A window of the user's has the keyboard; the notice must leave it there.
    const std::string focused = panelWindow();
    x({"xdotool", "windowfocus", "--sync", focused});
    const fs::path data = home_.path() / "commit";
    std::ofstream(data) << "tree 4b825dc642cb6eb9a060e54bf8d69288fbe4904\n";
    ChildProcess sign(
        {"ssh-keygen", "-Y", "sign", "-n", "git", "-f", key_.string() + ".pub", data.string()},
        withVariable(environment_, "SSH_AUTH_SOCK", clientSocket));
    const std::string title = "SSH Signature Request";
    waitFor([&] { return mapState(title) == "IsViewable"; }, "the notice");
    const std::string geometry = x({"xwininfo", "-name", title}).standardOutput;
    EXPECT_NE(geometry.find("Width: 380"), std::string::npos) << geometry;
    EXPECT_NE(geometry.find("Height: 150"), std::string::npos) << geometry;
    // Centred on the 1280×800 screen.
    EXPECT_NE(geometry.find("Absolute upper-left X:  450"), std::string::npos) << geometry;
    const std::string focus = x({"xdotool", "getwindowfocus"}).standardOutput;
    EXPECT_EQ(std::stoul(focus), std::stoul(focused, nullptr, 16)) << "the notice took the focus";

    EXPECT_EQ(sign.wait(), 0) << sign.standardError();
    EXPECT_TRUE(fs::exists(data.string() + ".sig"));
    waitFor([&] { return mapState(title) == "IsUnMapped"; }, "the notice to go");
}

}  // namespace
}  // namespace kestrel::testing
