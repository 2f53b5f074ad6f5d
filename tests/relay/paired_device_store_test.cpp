#include "relay/paired_device_store.hpp"

#include <gtest/gtest.h>

#include "support/memory_secret_store.hpp"
#include "support/memory_settings_store.hpp"

namespace kestrel {
namespace {

constexpr std::string_view service = "test.psk";

PairedDevice makeDevice(std::string name) {
    return PairedDevice(UUID::random(), std::move(name), SymmetricKey::random(32),
                        std::chrono::system_clock::now());
}

class PairedDeviceStoreTest : public ::testing::Test {
protected:
    PairedDeviceStore reopen() {
        PairedDeviceStore store(secrets_, settings_, std::string(service));
        store.load();
        return store;
    }

    nlohmann::json storedMetadata() const {
        return settings_.value("pairedDeviceMetadata").value_or(nullptr);
    }

    MemorySecretStore secrets_;
    MemorySettingsStore settings_;
};

TEST_F(PairedDeviceStoreTest, DevicesSurviveAReopenWithTheirKeysAndDates) {
    PairedDeviceStore store = reopen();
    EXPECT_TRUE(store.devices().empty());
    EXPECT_FALSE(settings_.value("pairedDeviceMetadata")) << "a first start writes nothing";

    const PairedDevice phone = makeDevice("Phone");
    const PairedDevice tablet = makeDevice("Tablet");
    store.add(phone);
    store.add(tablet);
    store.touch(phone.deviceID, phone.pairedAt);
    store.touch(UUID::random(), phone.pairedAt);  // unknown: nothing changes

    const auto reopened = reopen().devices();
    ASSERT_EQ(reopened.size(), 2u);
    EXPECT_EQ(reopened[0].deviceID, phone.deviceID);
    EXPECT_EQ(reopened[0].pskData, phone.pskData);
    EXPECT_TRUE(reopened[0].lastUsedAt);
    EXPECT_FALSE(reopened[1].lastUsedAt);
    EXPECT_EQ(storedMetadata()[0]["deviceID"], phone.deviceID.uuidString());
    EXPECT_FALSE(storedMetadata()[1].contains("lastUsedAt"));
}

TEST_F(PairedDeviceStoreTest, UseIsWrittenAtFirstAndThenAtMostOnceAMinute) {
    PairedDeviceStore store = reopen();
    const PairedDevice phone = makeDevice("Phone");
    store.add(phone);
    // Whole seconds: the stored form does not keep nanoseconds.
    const Date first = std::chrono::floor<std::chrono::seconds>(phone.pairedAt);
    const auto storedUse = [&] { return reopen().devices().front().lastUsedAt; };

    store.touch(phone.deviceID, first);
    EXPECT_EQ(storedUse(), first) << "a first use is written at once";
    store.touch(phone.deviceID, first + std::chrono::seconds(59));
    EXPECT_EQ(store.metadata().front().lastUsedAt, first + std::chrono::seconds(59));
    EXPECT_EQ(storedUse(), first) << "within the minute: memory only";
    store.touch(phone.deviceID, first + std::chrono::seconds(60));
    EXPECT_EQ(storedUse(), first + std::chrono::seconds(60));
    store.touch(phone.deviceID, first);
    EXPECT_EQ(storedUse(), first) << "a clock set back is written at once";

    // Any other change writes the newest use with it.
    store.touch(phone.deviceID, first + std::chrono::seconds(10));
    store.add(makeDevice("Tablet"));
    EXPECT_EQ(storedUse(), first + std::chrono::seconds(10));
}

TEST_F(PairedDeviceStoreTest, PairingAgainReplacesTheDeviceAtTheEnd) {
    PairedDeviceStore store = reopen();
    PairedDevice phone = makeDevice("Phone");
    store.add(phone);
    store.add(makeDevice("Tablet"));
    phone.pskData = SymmetricKey::random(32);
    phone.displayName = "Renamed";
    store.add(phone);
    const auto devices = reopen().devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1].displayName, "Renamed");
    EXPECT_EQ(devices[1].pskData, phone.pskData);
}

TEST_F(PairedDeviceStoreTest, AKeyTheStoreReportsAbsentUnpairsTheDevice) {
    PairedDeviceStore store = reopen();
    const PairedDevice gone = makeDevice("Gone");
    store.add(gone);
    store.add(makeDevice("Kept"));
    secrets_.remove(service, gone.deviceID.uuidString());

    PairedDeviceStore reopened = reopen();
    ASSERT_EQ(reopened.devices().size(), 1u);
    reopened.add(makeDevice("New"));
    EXPECT_EQ(storedMetadata().size(), 2u) << "the next write drops the unpaired device";
}

// A locked keyring at start-up must not unpair anyone: the device stays listed, out of service,
// its metadata survives other writes, and it comes back once its key can be read.
TEST_F(PairedDeviceStoreTest, AFailingSecretStoreKeepsTheDeviceOutOfServiceNotUnpaired) {
    const PairedDevice phone = makeDevice("Phone");
    reopen().add(phone);

    secrets_.setLastingFailure(SecretStoreError::locked);
    PairedDeviceStore store = reopen();
    EXPECT_TRUE(store.devices().empty());
    ASSERT_EQ(store.unavailableDevices().size(), 1u);
    EXPECT_FALSE(store.device(phone.deviceID));

    secrets_.setLastingFailure(std::nullopt);
    store.add(makeDevice("Tablet"));
    EXPECT_EQ(storedMetadata().size(), 2u);
    ASSERT_TRUE(store.device(phone.deviceID));
    EXPECT_TRUE(store.unavailableDevices().empty());
}

TEST_F(PairedDeviceStoreTest, UnreadableMetadataIsKeptAsideNotOverwritten) {
    const nlohmann::json broken = nlohmann::json::array({{{"deviceID", "not a uuid"}}});
    settings_.setValue("pairedDeviceMetadata", broken);
    PairedDeviceStore store = reopen();
    EXPECT_TRUE(store.warning());
    EXPECT_TRUE(store.metadata().empty());
    store.add(makeDevice("Phone"));
    EXPECT_EQ(settings_.value("pairedDeviceMetadataUnreadable"), broken);
    EXPECT_EQ(storedMetadata().size(), 1u);
}

TEST_F(PairedDeviceStoreTest, ADeviceThatCannotBeStoredIsNotAdded) {
    PairedDeviceStore store = reopen();
    secrets_.failNextCalls(SecretStoreError::locked);
    EXPECT_THROW(store.add(makeDevice("Phone")), std::system_error);
    settings_.failNextWrites();
    const PairedDevice tablet = makeDevice("Tablet");
    EXPECT_THROW(store.add(tablet), std::system_error);
    EXPECT_TRUE(store.metadata().empty());
    EXPECT_FALSE(secrets_.contains(service, tablet.deviceID.uuidString()));
}

// A revoke must hold across restarts even when the secret store will not delete the key: the
// device is gone at once and for good, and its key goes at the first start that can delete it.
TEST_F(PairedDeviceStoreTest, ARevokeSticksWhenTheKeyCannotBeDeletedAndTheKeyGoesLater) {
    const PairedDevice phone = makeDevice("Phone");
    const PairedDevice tablet = makeDevice("Tablet");
    const std::string phoneAccount = phone.deviceID.uuidString();
    {
        PairedDeviceStore store = reopen();
        store.add(phone);
        store.add(tablet);
        secrets_.failNextCalls(SecretStoreError::locked);
        EXPECT_NO_THROW(store.remove(phone.deviceID));
        ASSERT_EQ(store.metadata().size(), 1u);
        EXPECT_TRUE(store.keysAwaitingDeletion().contains(phone.deviceID));
        EXPECT_EQ(storedMetadata().size(), 1u) << "the device leaves the stored list at once";
    }
    ASSERT_TRUE(secrets_.contains(service, phoneAccount));

    secrets_.setLastingFailure(SecretStoreError::locked);
    {
        const PairedDeviceStore store = reopen();
        EXPECT_EQ(store.metadata().size(), 1u) << "not even listed as unavailable";
        EXPECT_FALSE(store.keysAwaitingDeletion().at(phone.deviceID).empty()) << "the reason";
    }
    EXPECT_TRUE(secrets_.contains(service, phoneAccount));

    secrets_.setLastingFailure(std::nullopt);
    const PairedDeviceStore store = reopen();
    EXPECT_FALSE(secrets_.contains(service, phoneAccount));
    EXPECT_TRUE(store.keysAwaitingDeletion().empty());
    ASSERT_EQ(store.devices().size(), 1u);
    EXPECT_EQ(store.devices()[0].deviceID, tablet.deviceID);
    EXPECT_TRUE(reopen().keysAwaitingDeletion().empty()) << "the retry is not repeated";
}

// Also when the stored device list could not be rewritten: the record of the revoke suffices.
TEST_F(PairedDeviceStoreTest, ARevokedDeviceStaysGoneThoughItsMetadataWasNotRewritten) {
    const PairedDevice phone = makeDevice("Phone");
    reopen().add(phone);
    const nlohmann::json listed = storedMetadata();
    PairedDeviceStore store = reopen();
    secrets_.failNextCalls(SecretStoreError::locked);
    store.remove(phone.deviceID);
    settings_.setValue("pairedDeviceMetadata", listed);  // as if that write had been lost

    secrets_.setLastingFailure(SecretStoreError::locked);
    EXPECT_TRUE(reopen().metadata().empty()) << "not even listed as unavailable";
    secrets_.setLastingFailure(std::nullopt);
    EXPECT_TRUE(reopen().metadata().empty());
    EXPECT_FALSE(secrets_.contains(service, phone.deviceID.uuidString()));
    EXPECT_TRUE(reopen().metadata().empty()) << "with its key gone it stays unpaired";
}

TEST_F(PairedDeviceStoreTest, ADevicePairedAgainAfterARevokeKeepsItsNewKey) {
    PairedDevice phone = makeDevice("Phone");
    PairedDeviceStore store = reopen();
    store.add(phone);
    secrets_.failNextCalls(SecretStoreError::locked);
    store.remove(phone.deviceID);
    phone.pskData = SymmetricKey::random(32);
    store.add(phone);

    const PairedDeviceStore reopened = reopen();
    ASSERT_EQ(reopened.devices().size(), 1u);
    EXPECT_EQ(reopened.devices()[0].pskData, phone.pskData);
}

// Only a revoke that cannot be recorded at all fails; the device is then back at the next start.
TEST_F(PairedDeviceStoreTest, ARevokeThatCannotBeRecordedThrows) {
    const PairedDevice phone = makeDevice("Phone");
    PairedDeviceStore store = reopen();
    store.add(phone);
    settings_.failNextWrites();
    EXPECT_THROW(store.remove(phone.deviceID), std::system_error);
    EXPECT_TRUE(store.metadata().empty()) << "out of service all the same";
    EXPECT_TRUE(secrets_.contains(service, phone.deviceID.uuidString()));
    EXPECT_EQ(reopen().devices().size(), 1u);
}

TEST_F(PairedDeviceStoreTest, MetadataIsReadWholeOrNotAtAll) {
    const nlohmann::json valid = {
        {"deviceID", UUID::random().uuidString()}, {"displayName", "A"}, {"pairedAt", 1.5}};
    EXPECT_EQ(decodeDeviceMetadata(nlohmann::json::array({valid})).size(), 1u);
    for (const char* missing : {"deviceID", "displayName", "pairedAt"}) {
        nlohmann::json entry = valid;
        entry.erase(missing);
        EXPECT_THROW(decodeDeviceMetadata(nlohmann::json::array({valid, entry})), DecodingFailure)
            << missing;
    }
    nlohmann::json lowerCase = valid;
    lowerCase["deviceID"] = "0a1b2c3d-0000-4000-8000-00000000000f";
    EXPECT_EQ(decodeDeviceMetadata(nlohmann::json::array({lowerCase}))[0].deviceID.uuidString(),
              "0A1B2C3D-0000-4000-8000-00000000000F");
    EXPECT_THROW(decodeDeviceMetadata(nlohmann::json::object()), DecodingFailure);
}

// A device's settings are kept apart from the metadata (whose records keep their form), survive
// a reopen and a pairing again, and go with a revoke.
TEST_F(PairedDeviceStoreTest, DeviceSettingsAreKeptBesideTheMetadata) {
    PairedDeviceStore store = reopen();
    const PairedDevice phone = makeDevice("Phone");
    const PairedDevice tablet = makeDevice("Tablet");
    store.add(phone);
    store.add(tablet);
    const nlohmann::json metadataBefore = storedMetadata();
    const DeviceSettings limited{DeviceSettings::Approval::ask,
                                 std::vector<std::string>{"SHA256:a", "SHA256:b"}};
    EXPECT_TRUE(store.setSettings(phone.deviceID, limited));
    EXPECT_FALSE(store.setSettings(UUID::random(), limited));
    EXPECT_EQ(storedMetadata(), metadataBefore);
    EXPECT_EQ(settings_.value("pairedDeviceMetadataSettings"),
              nlohmann::json({{phone.deviceID.uuidString(),
                               {{"approval", "ask"}, {"keys", {"SHA256:a", "SHA256:b"}}}}}));

    EXPECT_EQ(reopen().settings(phone.deviceID), limited);
    EXPECT_EQ(reopen().settings(tablet.deviceID), DeviceSettings{});
    store.add(phone);
    EXPECT_EQ(reopen().settings(phone.deviceID), limited) << "lost by pairing again";

    // A failed write changes nothing.
    settings_.failNextWrites();
    EXPECT_THROW(store.setSettings(phone.deviceID, {}), std::system_error);
    EXPECT_EQ(store.settings(phone.deviceID), limited);

    store.remove(phone.deviceID);
    EXPECT_EQ(settings_.value("pairedDeviceMetadataSettings"), nlohmann::json::object());
    EXPECT_EQ(store.settings(phone.deviceID), DeviceSettings{});
}

// Settings that cannot be read restrict every device instead of being dropped, and are kept
// aside at the next change.
TEST_F(PairedDeviceStoreTest, UnreadableSettingsMakeEveryDeviceAsk) {
    const PairedDevice phone = makeDevice("Phone");
    reopen().add(phone);
    for (const nlohmann::json& unreadable :
         {nlohmann::json("text"), nlohmann::json({{"not an ID", nlohmann::json::object()}}),
          nlohmann::json({{phone.deviceID.uuidString(), {{"approval", "sometimes"}}}}),
          nlohmann::json({{phone.deviceID.uuidString(), {{"keys", "all"}}}}),
          nlohmann::json({{phone.deviceID.uuidString(), {{"keys", {1}}}}})}) {
        settings_.setValue("pairedDeviceMetadataSettings", unreadable);
        PairedDeviceStore store = reopen();
        EXPECT_EQ(store.settings(phone.deviceID).approval, DeviceSettings::Approval::ask)
            << unreadable;
        ASSERT_TRUE(store.warning()) << unreadable;
        store.setSettings(phone.deviceID, {});
        EXPECT_EQ(settings_.value("pairedDeviceMetadataSettingsUnreadable"), unreadable);
        EXPECT_EQ(store.settings(phone.deviceID), DeviceSettings{});
    }
}

}  // namespace
}  // namespace kestrel
