// The control socket's answers, from a relay controller on loopback with in-memory platform
// services whose failures the tests choose.

#include "app/relay/control_commands.hpp"

#include <gtest/gtest.h>

#include "relay/relay_harness.hpp"

namespace kestrel::testing {
namespace {

using Json = nlohmann::json;

TEST(ControlCommands, ARevokeWhoseKeyCannotBeDeletedYetIsARevokeWithAWarning) {
    RelayHarness harness;
    harness.startRelay();
    harness.controller->startPairing();
    const PairingGrant grant =
        harness.run(harness.pair(*harness.controller->pairingCode(), "Phone"));
    harness.runUntil([&] { return !harness.controller->pairingCode(); });
    const std::string account = grant.deviceID.uuidString();
    const std::string service = harness.controller->store().service();

    control::ControlCommands commands(*harness.controller, {});
    harness.memorySecrets.failNextCalls(SecretStoreError::locked);
    const Json answer = commands.handle({{"command", "revoke"}, {"device", "Phone"}});
    EXPECT_FALSE(answer.contains("error")) << answer;
    EXPECT_EQ(answer["revoked"]["deviceID"], account);
    EXPECT_NE(answer.value("warning", "").find("deleted when the relay next starts"),
              std::string::npos)
        << answer;
    const Json warnings = commands.handle({{"command", "status"}})["warnings"];
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].get<std::string>().find(account), std::string::npos);
    EXPECT_TRUE(commands.handle({{"command", "devices"}})["devices"].empty());
    EXPECT_TRUE(harness.memorySecrets.contains(service, account));

    harness.stopRelay();
    harness.startRelay();
    EXPECT_FALSE(harness.memorySecrets.contains(service, account));
    EXPECT_TRUE(harness.controller->store().metadata().empty());
    EXPECT_THROW(harness.run(harness.openPaired(grant.deviceID, grant.pskData)), std::exception);
    control::ControlCommands restarted(*harness.controller, {});
    EXPECT_TRUE(restarted.handle({{"command", "status"}})["warnings"].empty());
}

// A device's settings and the answers to waiting requests: each bad request is refused with a
// usage error and changes nothing; good ones show in the devices list.
TEST(ControlCommands, DeviceSettingsAndAnswersRefuseBadRequestsAndChangeNothing) {
    RelayHarness harness;
    harness.startRelay();
    harness.pairNewDevice("Phone");
    control::ControlCommands commands(*harness.controller, {});
    const std::string fingerprint = "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo";
    const auto settingsOf = [&] {
        const Json device = commands.handle({{"command", "devices"}})["devices"][0];
        return Json{{"approval", device["approval"]}, {"keys", device["keys"]}};
    };
    EXPECT_EQ(settingsOf(), (Json{{"approval", "allow"}, {"keys", "all"}}));

    const Json bad[] = {
        {{"command", "device-settings"}, {"approval", "ask"}},
        {{"command", "device-settings"}, {"device", "Tablet"}, {"approval", "ask"}},
        {{"command", "device-settings"}, {"device", "Phone"}, {"approval", "sometimes"}},
        {{"command", "device-settings"}, {"device", "Phone"}, {"keys", "some"}},
        {{"command", "device-settings"}, {"device", "Phone"}, {"keys", {"SHA256:short"}}},
        {{"command", "device-settings"}, {"device", "Phone"}, {"keys", {fingerprint, 7}}},
        {{"command", "device-settings"},
         {"device", "Phone"},
         {"approval", "ask"},
         {"keys", {fingerprint.substr(7)}}},
        {{"command", "decide"}, {"request", "1"}, {"decision", "allow"}},
        {{"command", "decide"}, {"request", 1}, {"decision", "maybe"}},
        {{"command", "decide"}, {"request", 999}, {"decision", "deny"}},
        {{"command", "activity"}, {"device", ""}},
    };
    for (const Json& request : bad) {
        const Json answer = commands.handle(request);
        EXPECT_TRUE(answer.value("usage", false)) << request << " -> " << answer;
        EXPECT_EQ(settingsOf(), (Json{{"approval", "allow"}, {"keys", "all"}})) << request;
    }

    const Json changed = commands.handle({{"command", "device-settings"},
                                          {"device", "Phone"},
                                          {"approval", "ask"},
                                          {"keys", {fingerprint, fingerprint}}});
    EXPECT_EQ(changed["device"]["keys"], Json::array({fingerprint})) << changed;
    EXPECT_EQ(settingsOf(), (Json{{"approval", "ask"}, {"keys", {fingerprint}}}));
    // A store that cannot write keeps what was there.
    harness.memorySettings.failNextWrites();
    EXPECT_TRUE(
        commands.handle({{"command", "device-settings"}, {"device", "Phone"}, {"keys", "all"}})
            .contains("error"));
    EXPECT_EQ(settingsOf(), (Json{{"approval", "ask"}, {"keys", {fingerprint}}}));
    commands.handle({{"command", "device-settings"}, {"device", "Phone"}, {"keys", "all"}});
    EXPECT_EQ(settingsOf(), (Json{{"approval", "ask"}, {"keys", "all"}}));
}

}  // namespace
}  // namespace kestrel::testing
