#include "platform/xdg_autostart.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <system_error>

#include "platform_test_support.hpp"

namespace kestrel {
namespace {

using testing::exists;
using testing::readText;
using testing::ScopedEnvironmentVariable;
using testing::TemporaryDirectory;
using testing::writeText;

TEST(XdgAutostartLoginItem, TheEntryLivesInTheAutostartDirectoryOfTheConfigHome) {
    const ScopedEnvironmentVariable home("HOME", "/home/tester");
    {
        const ScopedEnvironmentVariable config("XDG_CONFIG_HOME", "/srv/config");
        EXPECT_EQ(XdgAutostartLoginItem().entryPath(),
                  "/srv/config/autostart/kestrel-relay-tray.desktop");
    }
    const ScopedEnvironmentVariable config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(XdgAutostartLoginItem().entryPath(),
              "/home/tester/.config/autostart/kestrel-relay-tray.desktop");
}

TEST(XdgAutostartLoginItem, SwitchingOnWritesTheEntryAndSwitchingOffRemovesIt) {
    const TemporaryDirectory temporary;
    const std::string path = temporary / "config/autostart/kestrel-relay-tray.desktop";
    XdgAutostartLoginItem item(path);
    EXPECT_FALSE(item.isEnabled());

    const testing::ScopedUmask umask(0);
    item.setEnabled(true);
    EXPECT_TRUE(item.isEnabled());
    const std::string entry = readText(path);
    EXPECT_TRUE(entry.starts_with("[Desktop Entry]\n")) << entry;
    for (const char* line : {"\nType=Application\n", "\nName=Kestrel Agent Relay\n",
                             "\nExec=kestrel-relay-tray\n", "\nX-GNOME-Autostart-enabled=true\n"}) {
        EXPECT_NE(entry.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(testing::modeOf(temporary / "config/autostart"), 0700u);
    EXPECT_EQ(testing::modeOf(path), 0600u);

    item.setEnabled(true);
    EXPECT_TRUE(item.isEnabled()) << "switching on twice";

    item.setEnabled(false);
    EXPECT_FALSE(item.isEnabled());
    EXPECT_FALSE(exists(path));
    EXPECT_NO_THROW(item.setEnabled(false)) << "switching off twice";
}

struct EntryCase {
    const char* name;
    std::string text;
    bool enabled;
};

TEST(XdgAutostartLoginItem, AnEntryThatHidesItselfIsOff) {
    const std::string start = "[Desktop Entry]\nType=Application\nExec=kestrel-relay-tray\n";
    const EntryCase cases[] = {
        {"plain entry", start, true},
        {"Hidden=true", start + "Hidden=true\n", false},
        {"Hidden = true with blanks", start + "Hidden = true\n", false},
        {"Hidden=1 (GLib)", start + "Hidden=1\n", false},
        {"Hidden=true with CRLF", start + "Hidden=true\r\n", false},
        {"Hidden=true without final newline", start + "Hidden=true", false},
        {"Hidden=false", start + "Hidden=false\n", true},
        {"GNOME switch off", start + "X-GNOME-Autostart-enabled=false\n", false},
        {"GNOME switch on", start + "X-GNOME-Autostart-enabled=true\n", true},
        {"commented out", start + "# Hidden=true\n", true},
        {"other key", start + "NoDisplay=true\n", true},
        {"in another group", start + "[Desktop Action quit]\nHidden=true\n", true},
        {"value differs in case", start + "Hidden=TRUE\n", true},
        {"empty file", "", true},
    };
    for (const EntryCase& entry : cases) {
        SCOPED_TRACE(entry.name);
        const TemporaryDirectory temporary;
        writeText(temporary / "entry.desktop", entry.text);
        EXPECT_EQ(XdgAutostartLoginItem(temporary / "entry.desktop").isEnabled(), entry.enabled);
    }
}

TEST(XdgAutostartLoginItem, SwitchingOnReplacesAHiddenEntry) {
    const TemporaryDirectory temporary;
    const std::string path = temporary / "entry.desktop";
    writeText(path, "[Desktop Entry]\nType=Application\nExec=old\nHidden=true\n");
    XdgAutostartLoginItem item(path);
    item.setEnabled(true);
    EXPECT_TRUE(item.isEnabled());
    EXPECT_EQ(readText(path), XdgAutostartLoginItem::entryText());
}

TEST(XdgAutostartLoginItem, AChangeThatCannotBeMadeThrowsAndTheStatusStaysTrue) {
    const TemporaryDirectory temporary;
    writeText(temporary / "config", "a file where the directory should be");
    XdgAutostartLoginItem blocked(temporary / "config/autostart/kestrel-relay-tray.desktop");
    EXPECT_THROW(blocked.setEnabled(true), std::system_error);
    EXPECT_FALSE(blocked.isEnabled());

    // A directory in the entry's place can be neither read nor unlinked.
    const std::string occupied = temporary / "occupied.desktop";
    ASSERT_EQ(mkdir(occupied.c_str(), 0700), 0);
    writeText(occupied + "/inside", "");
    XdgAutostartLoginItem stuck(occupied);
    EXPECT_FALSE(stuck.isEnabled());
    EXPECT_THROW(stuck.setEnabled(false), std::system_error);
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// The entry names the program by its path, which may hold anything a directory name can; GLib,
// which most desktops read autostart entries with, must read back the same path.
TEST(XdgAutostartLoginItem, GLibReadsBackTheProgramPathWhateverItHolds) {
    const testing::TemporaryDirectory temporary;
    for (const std::string program :
         {"/usr/bin/kestrel-relay-tray", "/home/me/My Builds/kestrel-relay-tray",
          "/tmp/a\"b`c$d\\e/kestrel-relay-tray", "/opt/k;rm -rf ~/x'y"}) {
        SCOPED_TRACE(program);
        const std::string path = temporary / "entry.desktop";
        XdgAutostartLoginItem(path, program).setEnabled(true);
        // As GDesktopAppInfo reads it: the key file's string value, split by shell rules.
        GKeyFile* entry = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_file(entry, path.c_str(), G_KEY_FILE_NONE, nullptr));
        gchar* exec = g_key_file_get_string(entry, "Desktop Entry", "Exec", nullptr);
        gchar** argv = nullptr;
        ASSERT_TRUE(g_shell_parse_argv(exec, nullptr, &argv, nullptr)) << exec;
        EXPECT_EQ(g_strv_length(argv), 1u);
        EXPECT_EQ(argv[0], program);
        g_strfreev(argv);
        g_free(exec);
        g_key_file_free(entry);
    }
}

}  // namespace
}  // namespace kestrel
