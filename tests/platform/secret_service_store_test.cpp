// Device keys in a real gnome-keyring, on a session bus of the test's own with a HOME of its
// own: the user's keyrings are never touched. libsecret and GLib keep one connection to the
// session bus per process, so each test needs a process of its own, as ctest runs them (or
// --gtest_filter for one test).

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "app/relay/secret_store_choice.hpp"
#include "platform/file_secret_store.hpp"
#include "platform/secret_service_store.hpp"
#include "relay/paired_device_store.hpp"
#include "support/child_process.hpp"
#include "support/error_of.hpp"
#include "support/memory_settings_store.hpp"
#include "support/scoped_environment.hpp"
#include "support/session_bus.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view service = "org.kestrel-relay.tidewell.relay.psk";
constexpr const char* password = "keyring password";

SymmetricKey keyOf(std::uint8_t fill) { return SymmetricKey(Bytes(32, fill)); }

PairedDevice device(const std::string& name, std::uint8_t fill) {
    return PairedDevice(UUID::random(), name, keyOf(fill), std::chrono::system_clock::now());
}

// Pairs the devices as the relay does: keys in `secrets`, the list in `settings`.
void pair(SecretStore& secrets, SettingsStore& settings,
          std::initializer_list<const PairedDevice*> devices) {
    PairedDeviceStore store(secrets, settings, std::string(service));
    store.load();
    for (const PairedDevice* paired : devices) store.add(*paired);
}

// A HOME, runtime and data directory of the test's own; the bus of the test's own.
class KeyringTest : public ::testing::Test {
protected:
    // libsecret keeps one connection to the Secret Service per process; each test has a bus of
    // its own.
    void TearDown() override { secret_service_disconnect(); }

    std::filesystem::path home() const { return home_.path(); }

    // Starts gnome-keyring's Secret Service, unlocked with the password.
    void startKeyring() {
        const ProcessOutput output = runProcess(
            {"sh", "-c", "printf %s \"$0\" | gnome-keyring-daemon --unlock --components=secrets",
             password},
            bus_.environment());
        ASSERT_EQ(output.exitStatus, 0) << output.standardError;
        ASSERT_TRUE(bus_.waitForName("org.freedesktop.secrets"));
        // The daemon makes the login keyring after it owns its name.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const ProcessOutput locked = runProcess(
                {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets",
                 "/org/freedesktop/secrets/collection/login", "org.freedesktop.DBus.Properties.Get",
                 "string:org.freedesktop.Secret.Collection", "string:Locked"},
                bus_.environment());
            if (locked.standardOutput.find("boolean false") != std::string::npos) return;
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << "the login keyring was not unlocked";
    }

    // As a login does, with no prompt: gnome-keyring's own interface takes the password.
    void unlockKeyring() {
        const ProcessOutput output = runProcess(
            {"/usr/bin/python3", "-c",
             "import dbus, sys\n"
             "service = dbus.SessionBus().get_object('org.freedesktop.secrets',\n"
             "                                       '/org/freedesktop/secrets')\n"
             "_, session = service.OpenSession('plain', dbus.String('', variant_level=1),\n"
             "    dbus_interface='org.freedesktop.Secret.Service')\n"
             "dbus.Interface(service, 'org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface')"
             ".UnlockWithMasterPassword(\n"
             "    dbus.ObjectPath('/org/freedesktop/secrets/collection/login'),\n"
             "    dbus.Struct((session, dbus.ByteArray(b''), "
             "dbus.ByteArray(sys.argv[1].encode()),\n"
             "                 'text/plain')))\n",
             password},
            bus_.environment());
        ASSERT_EQ(output.exitStatus, 0) << output.standardError;
    }

    void lockKeyring() {
        const ProcessOutput output =
            runProcess({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets",
                        "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                        "array:objpath:/org/freedesktop/secrets/collection/login"},
                       bus_.environment());
        ASSERT_EQ(output.exitStatus, 0) << output.standardError;
    }

    TemporaryDirectory home_;
    ScopedEnvironmentVariable homeVariable_{"HOME", home_.path().string()};
    ScopedEnvironmentVariable dataVariable_{"XDG_DATA_HOME", (home_.path() / "data").string()};
    ScopedEnvironmentVariable runtimeVariable_{"XDG_RUNTIME_DIR", home_.path().string()};
    ScopedEnvironmentVariable displayVariable_{"DISPLAY", std::nullopt};
    PrivateSessionBus bus_;
};

TEST_F(KeyringTest, KeysAreSavedFoundByANewStoreAndRemoved) {
    startKeyring();
    const SymmetricKey key = keyOf(7);
    {
        SecretServiceStore store;
        EXPECT_TRUE(store.works().first) << store.works().second;
        store.saveWithLabel(service, "PHONE", key.bytes(),
                            "Kestrel relay: key of device \u201CPixel 8\u201D");
        EXPECT_EQ(store.load(service, "PHONE"), key);
        EXPECT_EQ(store.load(service, "OTHER"), std::nullopt);
    }
    // What a keyring manager shows the user.
    const ProcessOutput listed = runProcess(
        {"secret-tool", "search", "--all", "service", std::string(service)}, bus_.environment());
    EXPECT_NE(
        listed.standardOutput.find("label = Kestrel relay: key of device \u201CPixel 8\u201D"),
        std::string::npos)
        << listed.standardOutput << listed.standardError;

    SecretServiceStore again;
    EXPECT_EQ(again.load(service, "PHONE"), key);
    again.remove(service, "PHONE");
    again.remove(service, "PHONE");  // already gone: no error
    SecretServiceStore after;
    EXPECT_EQ(after.load(service, "PHONE"), std::nullopt);
}

// A locked keyring is not a revoked device: it stays paired, unavailable, and comes back once
// the keyring is unlocked.
TEST_F(KeyringTest, ALockedKeyringKeepsDevicesPairedUntilItIsUnlocked) {
    startKeyring();
    MemorySettingsStore settings;
    const PairedDevice phone = device("Phone", 1);
    {
        SecretServiceStore secrets;
        pair(secrets, settings, {&phone});
    }
    lockKeyring();
    SecretServiceStore secrets;
    EXPECT_FALSE(secrets.works().first);
    PairedDeviceStore store(secrets, settings, std::string(service));
    store.load();
    ASSERT_EQ(store.unavailableDevices().size(), 1u);
    EXPECT_NE(store.unavailableDevices()[0].reason.find("locked"), std::string::npos)
        << store.unavailableDevices()[0].reason;
    EXPECT_EQ(store.device(phone.deviceID), std::nullopt);
    EXPECT_EQ(errorOf([&] { secrets.load(service, phone.deviceID.uuidString()); }),
              SecretStoreError::locked);

    unlockKeyring();
    std::optional<PairedDevice> found;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!(found = store.device(phone.deviceID)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->pskData, phone.pskData);
    EXPECT_TRUE(store.unavailableDevices().empty());
}

// Where `auto` puts keys, and how they move: an old file store that auto chose moves to the
// Secret Service once one works; the user's choice moves them back and is then kept.
TEST_F(KeyringTest, KeysMoveBetweenStoresWithoutRePairing) {
    startKeyring();
    MemorySettingsStore settings;
    settings.setValue("secretStore", "file");  // as every relay before the Secret Service wrote
    const PairedDevice phone = device("Phone", 1);
    const PairedDevice tablet = device("Tablet", 2);
    {
        FileSecretStore file;
        pair(file, settings, {&phone, &tablet});
    }
    const auto keysIn = [&](SecretStore& secrets) {
        PairedDeviceStore store(secrets, settings, std::string(service));
        store.load();
        return store.devices().size();
    };

    cli::SecretStoreChoice choice = cli::chooseSecretStore("auto", settings, service);
    EXPECT_EQ(choice.store->kind(), "secret-service") << ::testing::PrintToString(choice.warnings);
    ASSERT_EQ(choice.notes.size(), 1u);
    EXPECT_EQ(choice.notes[0],
              "moved 2 device keys from the file store to the Secret Service (it is available "
              "now)");
    EXPECT_TRUE(choice.warnings.empty());
    EXPECT_EQ(keysIn(*choice.store), 2u);
    FileSecretStore file;
    EXPECT_EQ(file.load(service, phone.deviceID.uuidString()), std::nullopt);
    EXPECT_EQ(settings.value("secretStoreChosenBy"), "auto");
    choice.store.reset();

    choice = cli::chooseSecretStore("file", settings, service);
    EXPECT_EQ(choice.store->kind(), "file");
    EXPECT_EQ(keysIn(*choice.store), 2u);
    EXPECT_EQ(SecretServiceStore().load(service, tablet.deviceID.uuidString()), std::nullopt);
    choice.store.reset();

    // The user chose the file store: auto keeps it, and a start that changes nothing writes
    // nothing.
    const auto before = settings.writeCount();
    choice = cli::chooseSecretStore("auto", settings, service);
    EXPECT_EQ(choice.store->kind(), "file");
    EXPECT_TRUE(choice.notes.empty());
    EXPECT_EQ(settings.writeCount(), before);
    choice.store.reset();

    // `config set secret-store` on a running relay: the next start moves the keys.
    settings.setValue("secretStoreWanted", "secret-service");
    choice = cli::chooseSecretStore("auto", settings, service);
    EXPECT_EQ(choice.store->kind(), "secret-service");
    EXPECT_EQ(keysIn(*choice.store), 2u);
    EXPECT_EQ(settings.value("secretStoreWanted"), nullptr);
}

// A move that stopped half-way (the relay was killed after copying) is finished at the next
// start, and no key is lost on the way.
TEST_F(KeyringTest, AnInterruptedMoveIsFinishedAtTheNextStart) {
    startKeyring();
    MemorySettingsStore settings;
    const PairedDevice phone = device("Phone", 1);
    {
        FileSecretStore file;
        pair(file, settings, {&phone});
    }
    settings.setValue("secretStore", "file");
    settings.setValue("secretStoreChosenBy", "user");
    settings.setValue("secretStoreMove", {{"from", "file"}, {"to", "secret-service"}});
    settings.setValue("secretStoreWanted", "secret-service");
    cli::SecretStoreChoice choice = cli::chooseSecretStore("auto", settings, service);
    EXPECT_EQ(choice.store->kind(), "secret-service");
    EXPECT_EQ(choice.store->load(service, phone.deviceID.uuidString()), phone.pskData);
    EXPECT_EQ(settings.value("secretStoreMove"), nullptr);
    EXPECT_EQ(settings.value("secretStoreToEmpty"), nullptr);
}

// No Secret Service on the bus, and none to start: auto takes the file store and records it.
TEST(NoKeyringTest, AutoChoosesTheFileStore) {
    secret_service_disconnect();
    const TemporaryDirectory home;
    const ScopedEnvironmentVariable data("XDG_DATA_HOME", home.path().string());
    const PrivateSessionBus bus(false);
    MemorySettingsStore settings;
    const cli::SecretStoreChoice choice = cli::chooseSecretStore("auto", settings, service);
    EXPECT_EQ(choice.store->kind(), "file");
    EXPECT_EQ(settings.value("secretStore"), "file");
    EXPECT_EQ(settings.value("secretStoreChosenBy"), "auto");
}

// A program that owns the Secret Service's name and never answers (a fake: a hung keyring).
// Starting gives up after its limit, lookups then answer at once, as unavailable, and a save
// gives up after its own limit.
TEST(HungKeyringTest, LookupsDoNotWaitForAKeyringThatNeverAnswers) {
    secret_service_disconnect();
    const PrivateSessionBus bus(false);
    ChildProcess fake({"/usr/bin/python3", "-c",
                       "import dbus, sys, time\n"
                       "bus = dbus.SessionBus()\n"
                       "bus.request_name('org.freedesktop.secrets')\n"
                       "print('owned', flush=True)\n"
                       "time.sleep(600)\n"},
                      bus.environment());
    ASSERT_EQ(fake.readLine(10s), "owned") << fake.standardError();
    SecretServiceStore store;
    EXPECT_FALSE(store.works().first);
    EXPECT_EQ(store.works().second, "the Secret Service did not answer within 5 s");
    EXPECT_EQ(errorOf([&] { store.load(service, "PHONE"); }), SecretStoreError::unavailable);
    EXPECT_EQ(errorOf([&] { store.load(service, "PHONE"); }), SecretStoreError::unavailable);
    // Pairing waits for it, but not for longer than the store's limit.
    EXPECT_EQ(errorOf([&] { store.save(service, "PHONE", keyOf(1).bytes()); }),
              SecretStoreError::unavailable);
}

}  // namespace
}  // namespace kestrel::testing
