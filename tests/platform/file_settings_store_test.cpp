#include "platform/file_settings_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

#include "platform_test_support.hpp"

namespace kestrel {
namespace {

using nlohmann::json;
using testing::exists;
using testing::modeOf;
using testing::readText;
using testing::TemporaryDirectory;
using testing::writeText;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class FileSettingsStoreTest : public ::testing::Test {
protected:
    // The directory does not exist yet, as on a first start.
    const TemporaryDirectory temporary;
    const std::string directory = temporary / "config/kestrel-relay";
    const std::string path = directory + "/settings.json";
    const std::string aside = path + ".unreadable";

    void writeSettingsFile(const std::string& text) {
        ASSERT_EQ(mkdir((temporary / "config").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
        writeText(path, text);
    }
};

TEST_F(FileSettingsStoreTest, AFirstStartHasNoValuesAndCreatesNothing) {
    FileSettingsStore store(path);
    EXPECT_EQ(store.value("socketOverride"), std::nullopt);
    EXPECT_EQ(store.warning(), std::nullopt);
    EXPECT_FALSE(exists(temporary / "config"));
}

TEST_F(FileSettingsStoreTest, ValuesPersistAsOneJsonObject) {
    const json metadata =
        json::parse(R"([{"deviceID":"A0B1","displayName":"Phone","pairedAt":1.5}])");
    {
        FileSettingsStore store(path);
        store.setValue("socketOverride", "/run/user/1000/agent.sock");
        store.setValue("hideDockIcon", true);
        store.setValue("pairedDeviceMetadata", metadata);
        store.setValue("socketOverride", "");
        EXPECT_EQ(store.value("socketOverride"), json(""));
    }
    const FileSettingsStore reopened(path);
    EXPECT_EQ(reopened.value("socketOverride"), json(""));
    EXPECT_EQ(reopened.value("hideDockIcon"), json(true));
    EXPECT_EQ(reopened.value("pairedDeviceMetadata"), metadata);
    EXPECT_EQ(reopened.value("absent"), std::nullopt);
    EXPECT_EQ(
        json::parse(readText(path)),
        json({{"socketOverride", ""}, {"hideDockIcon", true}, {"pairedDeviceMetadata", metadata}}));
}

TEST_F(FileSettingsStoreTest, TheDirectoryIs0700AndTheFile0600EvenUnderUmaskZero) {
    const testing::ScopedUmask umask(0);
    FileSettingsStore store(path);
    store.setValue("hideDockIcon", false);
    EXPECT_EQ(modeOf(temporary / "config"), 0700u);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);

    ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    store.setValue("hideDockIcon", true);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);
}

struct UnreadableCase {
    const char* name;
    std::string text;
    const char* problem;  // in the warning
};

const std::vector<UnreadableCase>& unreadableFiles() {
    static const std::vector<UnreadableCase> cases = {
        {"empty", "", "is not valid JSON"},
        {"not JSON", "hideDockIcon = true\n", "is not valid JSON"},
        {"cut short", R"({"hideDockIcon": tr)", "is not valid JSON"},
        {"trailing data", R"({"hideDockIcon": true} {})", "is not valid JSON"},
        {"not UTF-8", "{\"socketOverride\": \"\xff\xfe\"}", "is not valid JSON"},
        {"array", R"([{"hideDockIcon": true}])", "does not hold a JSON object"},
        {"string", R"("hideDockIcon")", "does not hold a JSON object"},
        {"null", "null", "does not hold a JSON object"},
        {"65 levels", testing::nestedArrays(64), "is nested more than 64 levels"},
        {"100000 levels", testing::nestedArrays(100000), "is nested more than 64 levels"},
    };
    return cases;
}

TEST_F(FileSettingsStoreTest, AnUnreadableFileIsLeftAloneUntilTheFirstWrite) {
    for (const UnreadableCase& unreadable : unreadableFiles()) {
        SCOPED_TRACE(unreadable.name);
        const TemporaryDirectory scratch;
        const std::string file = scratch / "settings.json";
        writeText(file, unreadable.text);

        const FileSettingsStore store(file);
        EXPECT_EQ(store.value("hideDockIcon"), std::nullopt);
        ASSERT_TRUE(store.warning());
        EXPECT_TRUE(contains(*store.warning(), "settings file " + file + " " + unreadable.problem))
            << *store.warning();
        EXPECT_TRUE(contains(*store.warning(), file + ".unreadable")) << *store.warning();
        EXPECT_TRUE(contains(*store.warning(), "defaults")) << *store.warning();
        EXPECT_EQ(readText(file), unreadable.text);
        EXPECT_FALSE(exists(file + ".unreadable"));
    }
}

TEST_F(FileSettingsStoreTest, TheFirstWriteMovesAnUnreadableFileAside) {
    for (const UnreadableCase& unreadable : unreadableFiles()) {
        SCOPED_TRACE(unreadable.name);
        const TemporaryDirectory scratch;
        const std::string file = scratch / "settings.json";
        writeText(file, unreadable.text);
        writeText(file + ".unreadable", "an older unreadable copy");

        FileSettingsStore store(file);
        store.setValue("hideDockIcon", true);
        store.setValue("socketOverride", "/tmp/agent");

        EXPECT_EQ(readText(file + ".unreadable"), unreadable.text);
        EXPECT_EQ(json::parse(readText(file)),
                  json({{"hideDockIcon", true}, {"socketOverride", "/tmp/agent"}}));
        ASSERT_TRUE(store.warning());
        EXPECT_TRUE(contains(*store.warning(), "was moved to " + file + ".unreadable"))
            << *store.warning();

        const FileSettingsStore reopened(file);
        EXPECT_EQ(reopened.warning(), std::nullopt);
        EXPECT_EQ(reopened.value("hideDockIcon"), json(true));
    }
}

TEST_F(FileSettingsStoreTest, NestingIsAcceptedUpTo64Levels) {
    writeSettingsFile(testing::nestedArrays(63));
    const FileSettingsStore store(path);
    EXPECT_EQ(store.warning(), std::nullopt);
    EXPECT_TRUE(store.value("k"));
}

TEST_F(FileSettingsStoreTest, AFailedWriteStoresNothing) {
    FileSettingsStore store(path);
    store.setValue("socketOverride", "/kept");
    // A directory in the file's place: the final rename cannot replace it.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);

    try {
        store.setValue("socketOverride", "/lost");
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_TRUE(contains(error.what(), path)) << error.what();
    }
    EXPECT_EQ(store.value("socketOverride"), json("/kept"));
    EXPECT_EQ(testing::entriesOf(directory), std::vector<std::string>{"settings.json"});
}

TEST_F(FileSettingsStoreTest, TextThatIsNotUtf8IsRefusedAndNothingIsWritten) {
    FileSettingsStore store(path);
    store.setValue("socketOverride", "/kept");
    EXPECT_THROW(store.setValue("socketOverride", "\xff"), std::system_error);
    EXPECT_EQ(store.value("socketOverride"), json("/kept"));
    EXPECT_EQ(json::parse(readText(path)), json({{"socketOverride", "/kept"}}));
}

// A file that exists but cannot be read at all is not replaced by defaults.
TEST_F(FileSettingsStoreTest, AFileThatCannotBeReadStopsTheStart) {
    ASSERT_EQ(mkdir((temporary / "config").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    try {
        FileSettingsStore store(path);
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::is_a_directory);
        EXPECT_TRUE(contains(error.what(), path)) << error.what();
    }
}

TEST(FileSettingsStore, DefaultsToSettingsJsonInTheConfigDirectory) {
    const testing::ScopedEnvironmentVariable config("XDG_CONFIG_HOME", "/nonexistent/config");
    EXPECT_EQ(FileSettingsStore().path(), "/nonexistent/config/kestrel-relay/settings.json");
}

}  // namespace
}  // namespace kestrel
