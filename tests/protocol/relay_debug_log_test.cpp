#include "protocol/relay_debug_log.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class RelayDebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-log-XXXXXX";
        root_ = ::mkdtemp(pattern);
        cache_ = root_ / "cache";
        ::setenv("XDG_CACHE_HOME", cache_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_CACHE_HOME");
        fs::remove_all(root_);
    }

    std::string read(const std::string& name) const {
        std::ifstream file(cache_ / name);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path root_;
    fs::path cache_;
};

TEST_F(RelayDebugLogTest, AppendsTimeStampedLinesInCallOrder) {
    RelayDebugLog::append("first", "relay.log");
    EXPECT_TRUE(
        std::regex_match(read("relay.log"), std::regex(R"(\d\d:\d\d:\d\d\.\d{3} first\n)")));
    RelayDebugLog::append("", "relay.log");
    RelayDebugLog::append("two\nlines", "relay.log");
    const std::regex expected(R"(\d\d:\d\d:\d\d\.\d{3} first\n)"
                              R"(\d\d:\d\d:\d\d\.\d{3} \n)"
                              R"(\d\d:\d\d:\d\d\.\d{3} two\nlines\n)");
    EXPECT_TRUE(std::regex_match(read("relay.log"), expected)) << read("relay.log");
    EXPECT_EQ(fs::status(cache_ / "relay.log").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(RelayDebugLogTest, NamesThatAreNotOneFileInTheCacheWriteNothing) {
    for (const char* name : {"", ".", "..", "../escape.log", "sub/dir.log"}) {
        RelayDebugLog::append("entry", name);
    }
    EXPECT_FALSE(fs::exists(root_ / "escape.log"));
    EXPECT_TRUE(!fs::exists(cache_) || fs::is_empty(cache_));
}

TEST_F(RelayDebugLogTest, AnUnusableCacheDirectoryIsSilentlyIgnored) {
    std::ofstream(cache_.string()) << "a file where the directory should be";
    RelayDebugLog::append("entry", "relay.log");
    EXPECT_TRUE(fs::is_regular_file(cache_));
}

}  // namespace
}  // namespace kestrel
