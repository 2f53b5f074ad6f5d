// The headless relay's launch at login: its systemd user unit. systemctl is a fake here (a
// script on PATH, named as such): the real one would change the user's own systemd instance.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/systemd_user_unit.hpp"
#include "support/child_process.hpp"
#include "support/scoped_environment.hpp"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironmentVariable;
using testing::TemporaryDirectory;

std::string fileText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The file in packaging/ is what a package installs; its comments aside, it is the unit the
// relay writes.
TEST(SystemdUnitTest, TheShippedUnitIsTheOneTheRelayInstalls) {
    std::istringstream shipped(
        fileText(fs::path(KESTREL_TEST_DATA_DIR) / "../../packaging/kestrel-relay.service"));
    std::string withoutComments;
    for (std::string line; std::getline(shipped, line);)
        if (!line.starts_with("#")) withoutComments += line + "\n";
    EXPECT_EQ(withoutComments, SystemdUserUnitLoginItem::unitText("@KESTREL_RELAY@"));
}

TEST(SystemdUnitTest, SystemdAcceptsTheUnit) {
    const TemporaryDirectory directory;
    const fs::path unit = directory.path() / "kestrel-relay.service";
    std::ofstream(unit) << SystemdUserUnitLoginItem::unitText("/bin/true");
    const auto output = testing::runProcess(
        {"systemd-analyze", "verify", "--user", unit.string()},
        testing::environmentWith({{"XDG_RUNTIME_DIR", directory.path().string()}}));
    if (output.exitStatus == 127 || output.standardError.find("No such file") != std::string::npos)
        GTEST_SKIP() << "systemd-analyze is not installed";
    EXPECT_EQ(output.exitStatus, 0) << output.standardError;
    EXPECT_NE(SystemdUserUnitLoginItem::unitText("/opt/my tools/kestrel-relay")
                  .find("ExecStart=\"/opt/my tools/kestrel-relay\" serve\n"),
              std::string::npos);
}

class SystemdLoginItemTest : public ::testing::Test {
protected:
    // A systemctl that records its arguments and succeeds or fails as told; on success,
    // `enable` and `disable` do what systemd does to the files.
    void fakeSystemctl(bool userInstance) {
        const fs::path script = bin_.path() / "systemctl";
        std::ofstream(script) << "#!/bin/sh\n"
                              << "echo \"$@\" >> " << (bin_.path() / "calls").string() << "\n"
                              << (userInstance ? "" : "exit 1\n")
                              << "units=\"$XDG_CONFIG_HOME/systemd/user\"\n"
                              << "case \"$3\" in\n"
                              << "  enable) mkdir -p \"$units/default.target.wants\" && ln -sf "
                                 "\"$units/$4\" \"$units/default.target.wants/$4\" ;;\n"
                              << "  disable) rm -f \"$units/default.target.wants/$4\" ;;\n"
                              << "esac\n";
        fs::permissions(script, fs::perms::owner_all);
    }

    std::string calls() const { return fileText(bin_.path() / "calls"); }

    TemporaryDirectory config_;
    TemporaryDirectory bin_;
    ScopedEnvironmentVariable configVariable_{"XDG_CONFIG_HOME", config_.path().string()};
    ScopedEnvironmentVariable pathVariable_{"PATH", bin_.path().string() + ":/usr/bin:/bin"};
    SystemdUserUnitLoginItem item_{"/usr/bin/kestrel-relay"};
};

TEST_F(SystemdLoginItemTest, EnablesWithoutStartingAndDisables) {
    fakeSystemctl(true);
    EXPECT_FALSE(item_.isEnabled());
    item_.setEnabled(true);
    EXPECT_TRUE(item_.isEnabled());
    EXPECT_EQ(fileText(item_.unitPath()),
              SystemdUserUnitLoginItem::unitText("/usr/bin/kestrel-relay"));
    EXPECT_EQ(calls(),
              "--user --quiet daemon-reload\n--user --quiet enable kestrel-relay.service\n");

    item_.setEnabled(false);
    EXPECT_FALSE(item_.isEnabled());
    EXPECT_FALSE(fs::exists(item_.unitPath()));
}

// No systemd user instance (a container, a session without systemd): nothing is left behind,
// and the error says how else to start the relay.
TEST_F(SystemdLoginItemTest, WithoutAUserInstanceNothingIsLeftBehind) {
    fakeSystemctl(false);
    std::string message;
    try {
        item_.setEnabled(true);
    } catch (const std::system_error& error) {
        message = error.what();
    }
    EXPECT_NE(message.find("no systemd user instance"), std::string::npos) << message;
    EXPECT_NE(message.find("/usr/bin/kestrel-relay serve"), std::string::npos) << message;
    EXPECT_FALSE(item_.isEnabled());
    EXPECT_FALSE(fs::exists(item_.unitPath()));
}

}  // namespace
}  // namespace kestrel
