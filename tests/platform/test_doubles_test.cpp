// The in-memory stand-ins that other layers' unit tests rely on behave like the real services,
// failures included.

#include <gtest/gtest.h>

#include <system_error>

#include "platform/null_service_advertiser.hpp"
#include "platform/recording_notice_presenter.hpp"
#include "support/error_of.hpp"
#include "support/memory_secret_store.hpp"
#include "support/memory_settings_store.hpp"

namespace kestrel {
namespace {

using testing::errorOf;

TEST(MemorySecretStore, StoresLikeASecretStore) {
    MemorySecretStore store;
    EXPECT_EQ(store.kind(), "memory");
    EXPECT_EQ(store.load("s", "a"), std::nullopt);
    store.save("s", "a", toBytes("key one"));
    store.save("s", "a", toBytes("key two"));
    ASSERT_TRUE(store.load("s", "a"));
    EXPECT_EQ(toText(store.load("s", "a")->bytes()), "key two");
    EXPECT_EQ(store.itemCount(), 1u);
    store.remove("s", "a");
    store.remove("s", "a");
    EXPECT_FALSE(store.contains("s", "a"));
}

TEST(MemorySecretStore, InjectedFailuresThrowAndChangeNothing) {
    MemorySecretStore store;
    store.save("s", "a", toBytes("key"));

    store.failNextCalls(SecretStoreError::ioFailed, 2);
    EXPECT_EQ(errorOf([&] { store.remove("s", "a"); }), SecretStoreError::ioFailed);
    EXPECT_EQ(errorOf([&] { store.save("s", "a", toBytes("other")); }), SecretStoreError::ioFailed);
    EXPECT_EQ(toText(store.load("s", "a")->bytes()), "key") << "the third call succeeds";

    store.setLastingFailure(SecretStoreError::locked);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(errorOf([&] { store.load("s", "a"); }), SecretStoreError::locked);
    }
    store.setLastingFailure(std::nullopt);
    EXPECT_TRUE(store.load("s", "a"));
    EXPECT_EQ(store.callCount(), 8);
}

TEST(MemorySettingsStore, InjectedWriteFailuresStoreNothing) {
    MemorySettingsStore store;
    store.setValue("hideDockIcon", true);
    store.failNextWrites();
    EXPECT_EQ(errorOf([&] { store.setValue("hideDockIcon", false); }), std::errc::io_error);
    EXPECT_EQ(store.value("hideDockIcon"), nlohmann::json(true));
    store.setValue("hideDockIcon", false);
    EXPECT_EQ(store.value("hideDockIcon"), nlohmann::json(false));
    EXPECT_EQ(store.value("socketOverride"), std::nullopt);
    EXPECT_EQ(store.writeCount(), 2);
}

TEST(RecordingNoticePresenter, RecordsCallsInOrder) {
    RecordingNoticePresenter presenter;
    EXPECT_FALSE(presenter.isShowing());
    presenter.showNotice("Phone", "sign 1 byte of data with SHA256:x");
    EXPECT_TRUE(presenter.isShowing());
    presenter.hideNotice();
    using Call = RecordingNoticePresenter::Call;
    EXPECT_EQ(presenter.calls(),
              (std::vector<Call>{{Call::Kind::show, "Phone", "sign 1 byte of data with SHA256:x"},
                                 {Call::Kind::hide}}));
    EXPECT_FALSE(presenter.isShowing());
    EXPECT_EQ(presenter.lastShownName(), "Phone");
}

TEST(NullServiceAdvertiser, SaysThatNothingIsAdvertised) {
    NullServiceAdvertiser advertiser;
    advertiser.advertise("Ada's Laptop", "_tidewell-agent._tcp", 50123);
    EXPECT_EQ(advertiser.state(), ServiceAdvertiser::State::unavailable);
    EXPECT_EQ(advertiser.stateDescription(), "not advertised");
    EXPECT_EQ(advertiser.advertisedName(), "Ada's Laptop");
    advertiser.stop();
    EXPECT_EQ(advertiser.state(), ServiceAdvertiser::State::unavailable);
}

}  // namespace
}  // namespace kestrel
