#include "platform/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <system_error>

#include "platform_test_support.hpp"

namespace kestrel {
namespace {

using testing::modeOf;
using testing::ScopedEnvironmentVariable;
using testing::ScopedUmask;
using testing::TemporaryDirectory;

const std::string home = "/home/tester";

struct DirectoryCase {
    const char* variable;
    std::optional<std::string> value;  // none: unset
    std::string (*directory)();
    std::string expected;
};

// The XDG base directory rules: a variable that is unset, empty or relative is ignored.
TEST(Paths, DirectoriesFollowXdgVariablesOrTheirDefaults) {
    const std::string runtimeFallback = "/tmp/kestrel-relay-" + std::to_string(getuid());
    const DirectoryCase cases[] = {
        {"XDG_CONFIG_HOME", std::nullopt, configDirectory, home + "/.config/kestrel-relay"},
        {"XDG_CONFIG_HOME", "", configDirectory, home + "/.config/kestrel-relay"},
        {"XDG_CONFIG_HOME", "relative/config", configDirectory, home + "/.config/kestrel-relay"},
        {"XDG_CONFIG_HOME", "/srv/config", configDirectory, "/srv/config/kestrel-relay"},
        {"XDG_CONFIG_HOME", "/srv/config", configHome, "/srv/config"},
        {"XDG_DATA_HOME", std::nullopt, dataDirectory, home + "/.local/share/kestrel-relay"},
        {"XDG_DATA_HOME", "data", dataDirectory, home + "/.local/share/kestrel-relay"},
        {"XDG_DATA_HOME", "/srv/data", dataDirectory, "/srv/data/kestrel-relay"},
        {"XDG_CACHE_HOME", std::nullopt, cacheDirectory, home + "/.cache/kestrel-relay"},
        {"XDG_CACHE_HOME", "/srv/cache", cacheDirectory, "/srv/cache/kestrel-relay"},
        {"XDG_RUNTIME_DIR", "/run/user/1000", runtimeDirectory, "/run/user/1000/kestrel-relay"},
        {"XDG_RUNTIME_DIR", std::nullopt, runtimeDirectory, runtimeFallback},
        {"XDG_RUNTIME_DIR", "", runtimeDirectory, runtimeFallback},
    };
    const ScopedEnvironmentVariable homeVariable("HOME", home);
    for (const DirectoryCase& directoryCase : cases) {
        SCOPED_TRACE(std::string(directoryCase.variable) + "=" +
                     directoryCase.value.value_or("(unset)"));
        const ScopedEnvironmentVariable variable(directoryCase.variable, directoryCase.value);
        EXPECT_EQ(directoryCase.directory(), directoryCase.expected);
    }
}

TEST(Paths, HomeComesFromThePasswordDatabaseWhenHomeIsUnusable) {
    passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string databaseHome = entry->pw_dir;
    for (const std::optional<std::string>& value :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/home")}) {
        SCOPED_TRACE(value.value_or("(unset)"));
        const ScopedEnvironmentVariable variable("HOME", value);
        const ScopedEnvironmentVariable config("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(homeDirectory(), databaseHome);
        EXPECT_EQ(configDirectory(), databaseHome + "/.config/kestrel-relay");
    }
}

TEST(Paths, ParentDirectory) {
    EXPECT_EQ(parentDirectory("/a/b/c.json"), "/a/b");
    EXPECT_EQ(parentDirectory("/c.json"), "/");
    EXPECT_EQ(parentDirectory("c.json"), ".");
    EXPECT_EQ(parentDirectory("a/c.json"), "a");
}

// Whatever the umask, every directory the relay creates is 0700 (a umask of 0777 would
// otherwise give 0000, and 0 would give 0777).
TEST(EnsurePrivateDirectory, CreatesMissingDirectoriesWithMode0700WhateverTheUmask) {
    for (mode_t mask : {0000, 0022, 0077, 0777}) {
        SCOPED_TRACE(mask);
        const TemporaryDirectory temporary;
        const std::string deepest = temporary / "a/b/c";
        {
            const ScopedUmask umask(mask);
            ensurePrivateDirectory(deepest);
        }
        for (const char* directory : {"a", "a/b", "a/b/c"}) {
            EXPECT_EQ(modeOf(temporary / directory), 0700u) << directory;
        }
        EXPECT_NO_THROW(ensurePrivateDirectory(deepest + "/")) << "idempotent";
    }
}

TEST(EnsurePrivateDirectory, TightensAnExistingDirectoryButNotItsParents) {
    const TemporaryDirectory temporary;
    const std::string parent = temporary / "shared";
    const std::string directory = parent + "/kestrel-relay";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(directory.c_str(), 0777), 0);
    ASSERT_EQ(chmod(parent.c_str(), 0755), 0);
    ASSERT_EQ(chmod(directory.c_str(), 0777), 0);

    ensurePrivateDirectory(directory);

    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(parent), 0755u);
}

// A link among the parents (e.g. ~/.config pointing elsewhere) is the user's choice.
TEST(EnsurePrivateDirectory, FollowsLinksAmongTheParents) {
    const TemporaryDirectory temporary;
    ASSERT_EQ(mkdir((temporary / "real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (temporary / "link").c_str()), 0);

    ensurePrivateDirectory(temporary / "link/kestrel-relay");

    EXPECT_EQ(modeOf(temporary / "real/kestrel-relay"), 0700u);
}

struct RefusedCase {
    const char* name;
    void (*prepare)(const std::string& directory, const std::string& elsewhere);
    const char* reason;  // part of the message
};

TEST(EnsurePrivateDirectory, RefusesWhatIsNotAPrivateDirectoryOfOurs) {
    const RefusedCase cases[] = {
        {"symbolic link to a directory",
         [](const std::string& directory, const std::string& elsewhere) {
             ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
             ASSERT_EQ(symlink(elsewhere.c_str(), directory.c_str()), 0);
         },
         "symbolic link"},
        {"dangling symbolic link",
         [](const std::string& directory, const std::string& elsewhere) {
             ASSERT_EQ(symlink(elsewhere.c_str(), directory.c_str()), 0);
         },
         "symbolic link"},
        {"regular file",
         [](const std::string& directory, const std::string&) {
             testing::writeText(directory, "not a directory");
         },
         "not a directory"},
    };
    for (const RefusedCase& refused : cases) {
        for (const char* suffix : {"", "/"}) {
            SCOPED_TRACE(std::string(refused.name) + suffix);
            const TemporaryDirectory temporary;
            const std::string directory = temporary / "kestrel-relay";
            refused.prepare(directory, temporary / "elsewhere");
            try {
                ensurePrivateDirectory(directory + suffix);
                ADD_FAILURE() << "accepted";
            } catch (const std::system_error& error) {
                EXPECT_NE(std::string(error.what()).find(directory), std::string::npos)
                    << error.what();
                EXPECT_NE(std::string(error.what()).find(refused.reason), std::string::npos)
                    << error.what();
            }
            if (testing::exists(temporary / "elsewhere")) {
                EXPECT_EQ(modeOf(temporary / "elsewhere"), 0755u) << "the link target changed";
            }
        }
    }
}

// Another user may create the runtime fallback in /tmp first; it must not be used then.
TEST(EnsurePrivateDirectory, RefusesADirectoryOwnedByAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another user";
    const TemporaryDirectory temporary;
    const std::string directory = temporary / "kestrel-relay";
    ASSERT_EQ(mkdir(directory.c_str(), 0777), 0);
    ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
    ASSERT_EQ(chown(directory.c_str(), 65534, 65534), 0);
    try {
        ensurePrivateDirectory(directory);
        ADD_FAILURE() << "accepted";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::operation_not_permitted);
        EXPECT_NE(std::string(error.what()).find("belongs to uid 65534"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(modeOf(directory), 0777u) << "must not change a directory it refuses";
}

TEST(EnsurePrivateDirectory, ReportsTheDirectoryThatCannotBeCreated) {
    const TemporaryDirectory temporary;
    testing::writeText(temporary / "file", "");
    try {
        ensurePrivateDirectory(temporary / "file/sub/kestrel-relay");
        ADD_FAILURE() << "accepted";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
        EXPECT_NE(std::string(error.what()).find(temporary / "file/sub"), std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace kestrel
