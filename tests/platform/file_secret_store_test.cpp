#include "platform/file_secret_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <string>
#include <system_error>
#include <vector>

#include "platform_test_support.hpp"
#include "support/error_of.hpp"

namespace kestrel {
namespace {

using nlohmann::json;
using testing::errorOf;
using testing::exists;
using testing::modeOf;
using testing::readText;
using testing::TemporaryDirectory;
using testing::writeText;

constexpr const char* service = "org.example.kestrel.tidewell.relay.psk";
constexpr const char* phone = "5B1F5E8B-0E5C-4E43-9A38-3C1A0F6B7D21";
constexpr const char* tablet = "0D3A4C1E-7F2B-4B9A-8E6D-1C2B3A4D5E6F";

Bytes keyBytes(std::uint8_t first) {
    Bytes key;
    for (std::uint8_t i = 0; i < 32; ++i) key.push_back(static_cast<std::uint8_t>(first + i));
    return key;
}

Bytes loaded(FileSecretStore& store, const char* serviceName, const char* account) {
    const std::optional<SymmetricKey> key = store.load(serviceName, account);
    if (!key) return {};
    return {key->bytes().begin(), key->bytes().end()};
}

class FileSecretStoreTest : public ::testing::Test {
protected:
    const TemporaryDirectory temporary;
    const std::string directory = temporary / "data/kestrel-relay";
    const std::string path = directory + "/secrets.json";
    FileSecretStore store{path};

    void writeSecretsFile(const std::string& text) {
        testing::ScopedUmask umask(077);
        mkdir((temporary / "data").c_str(), 0700);
        mkdir(directory.c_str(), 0700);
        writeText(path, text);
    }
};

TEST_F(FileSecretStoreTest, SavedSecretsLoadBackAndCanBeReplacedAndRemoved) {
    store.save(service, phone, keyBytes(1));
    store.save(service, tablet, keyBytes(100));
    store.save("other.service", phone, keyBytes(200));
    EXPECT_EQ(loaded(store, service, phone), keyBytes(1));
    EXPECT_EQ(loaded(store, service, tablet), keyBytes(100));
    EXPECT_EQ(loaded(store, "other.service", phone), keyBytes(200));

    store.save(service, phone, keyBytes(50));
    EXPECT_EQ(loaded(store, service, phone), keyBytes(50));

    store.remove(service, phone);
    EXPECT_EQ(store.load(service, phone), std::nullopt);
    EXPECT_EQ(loaded(store, service, tablet), keyBytes(100));
    EXPECT_EQ(loaded(store, "other.service", phone), keyBytes(200));

    EXPECT_NO_THROW(store.remove(service, phone)) << "removing an absent item";
    EXPECT_NO_THROW(store.remove("unknown.service", phone));

    FileSecretStore reopened(path);
    EXPECT_EQ(loaded(reopened, service, tablet), keyBytes(100));
}

TEST_F(FileSecretStoreTest, TheFileMapsServiceAndAccountToPaddedBase64) {
    store.save(service, phone, keyBytes(0));
    store.save(service, tablet, toBytes("\xfb\xff"));
    EXPECT_EQ(
        json::parse(readText(path)),
        json({{service,
               {{phone, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="}, {tablet, "+/8="}}}}));

    store.remove(service, phone);
    store.remove(service, tablet);
    EXPECT_EQ(json::parse(readText(path)), json::object()) << "an emptied service is dropped";
}

TEST_F(FileSecretStoreTest, ReadsAFileWrittenByHand) {
    writeSecretsFile(R"({"s": {"a": "AAECAw==", "empty": ""}, "t": {}})");
    EXPECT_EQ(loaded(store, "s", "a"), (Bytes{0, 1, 2, 3}));
    const std::optional<SymmetricKey> empty = store.load("s", "empty");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0u);
}

TEST_F(FileSecretStoreTest, TheDirectoryIs0700AndTheFile0600EvenUnderUmaskZero) {
    const testing::ScopedUmask umask(0);
    store.save(service, phone, keyBytes(1));
    EXPECT_EQ(modeOf(temporary / "data"), 0700u);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST_F(FileSecretStoreTest, AbsenceIsNone) {
    EXPECT_EQ(store.load(service, phone), std::nullopt) << "no file";
    EXPECT_NO_THROW(store.remove(service, phone));
    EXPECT_FALSE(exists(temporary / "data")) << "neither load nor remove creates anything";

    store.save(service, phone, keyBytes(1));
    EXPECT_EQ(store.load(service, tablet), std::nullopt) << "no such account";
    EXPECT_EQ(store.load("other.service", phone), std::nullopt) << "no such service";
}

struct CorruptCase {
    const char* name;
    std::string text;
};

// A broken file must never read as "no such device": every operation refuses it, and nothing
// overwrites it.
TEST_F(FileSecretStoreTest, ABrokenFileIsCorruptedForEveryOperationAndIsKept) {
    const CorruptCase cases[] = {
        {"empty", ""},
        {"not JSON", "s=a"},
        {"cut short", R"({"s": {"a": "AAEC)"},
        {"array", R"([{"s": {}}])"},
        {"service not an object", R"({"s": "AAECAw=="})"},
        {"secret not a string", R"({"s": {"a": [0, 1, 2, 3]}})"},
        {"another service's secret not a string", R"({"s": {"a": "AA=="}, "t": {"b": null}})"},
        {"too deep", testing::nestedArrays(64)},
    };
    for (const CorruptCase& corrupt : cases) {
        SCOPED_TRACE(corrupt.name);
        writeSecretsFile(corrupt.text);
        EXPECT_EQ(errorOf([&] { store.load("s", "a"); }), SecretStoreError::corrupted);
        EXPECT_EQ(errorOf([&] { store.save("s", "a", keyBytes(1)); }), SecretStoreError::corrupted);
        EXPECT_EQ(errorOf([&] { store.remove("s", "a"); }), SecretStoreError::corrupted);
        EXPECT_EQ(readText(path), corrupt.text);
    }
}

TEST_F(FileSecretStoreTest, ASecretThatIsNotStrictBase64IsCorrupted) {
    for (const char* value : {"AAECAw", "AAECAw=", "AAEC Aw==", "AAECAw==\n", "AA-_", "!!!!"}) {
        SCOPED_TRACE(value);
        writeSecretsFile(json({{"s", {{"a", value}, {"b", "AAECAw=="}}}}).dump());
        EXPECT_EQ(errorOf([&] { store.load("s", "a"); }), SecretStoreError::corrupted);
        EXPECT_EQ(loaded(store, "s", "b"), (Bytes{0, 1, 2, 3})) << "other items still load";
    }
}

TEST_F(FileSecretStoreTest, AFileThatCannotBeReadIsAnIoFailure) {
    const std::string unreadablePaths[] = {
        temporary.path(),                  // a directory
        temporary / "plain/secrets.json",  // below a regular file
    };
    writeText(temporary / "plain", "");
    for (const std::string& unreadable : unreadablePaths) {
        SCOPED_TRACE(unreadable);
        FileSecretStore broken(unreadable);
        EXPECT_EQ(errorOf([&] { broken.load("s", "a"); }), SecretStoreError::ioFailed);
        EXPECT_EQ(errorOf([&] { broken.save("s", "a", keyBytes(1)); }), SecretStoreError::ioFailed);
        EXPECT_EQ(errorOf([&] { broken.remove("s", "a"); }), SecretStoreError::ioFailed);
    }
}

// The directory has been replaced by a symbolic link: reading still works through it, but
// writing refuses a directory that is not certainly private.
TEST_F(FileSecretStoreTest, AFailedWriteIsAnIoFailureAndKeepsTheOldSecret) {
    store.save(service, phone, keyBytes(1));
    ASSERT_EQ(rename(directory.c_str(), (temporary / "data/real").c_str()), 0);
    ASSERT_EQ(symlink("real", directory.c_str()), 0);

    EXPECT_EQ(errorOf([&] { store.save(service, phone, keyBytes(2)); }),
              SecretStoreError::ioFailed);
    EXPECT_EQ(errorOf([&] { store.remove(service, phone); }), SecretStoreError::ioFailed);
    EXPECT_EQ(loaded(store, service, phone), keyBytes(1));
}

TEST(FileSecretStore, DefaultsToSecretsJsonInTheDataDirectory) {
    const testing::ScopedEnvironmentVariable data("XDG_DATA_HOME", "/nonexistent/data");
    const FileSecretStore store;
    EXPECT_EQ(store.path(), "/nonexistent/data/kestrel-relay/secrets.json");
    EXPECT_EQ(store.kind(), "file");
}

TEST(SecretStoreError, IsAnErrorCodeOfItsOwnCategory) {
    const std::error_code code = SecretStoreError::locked;
    EXPECT_STREQ(code.category().name(), "kestrel.secret-store");
    EXPECT_EQ(code, SecretStoreError::locked);
    EXPECT_NE(code, SecretStoreError::unavailable);
    EXPECT_NE(code,
              std::error_code(static_cast<int>(SecretStoreError::locked), std::generic_category()));
    for (SecretStoreError error : {SecretStoreError::unavailable, SecretStoreError::locked,
                                   SecretStoreError::ioFailed, SecretStoreError::corrupted}) {
        EXPECT_NE(make_error_code(error).message(), "unknown secret store error");
    }
}

}  // namespace
}  // namespace kestrel
