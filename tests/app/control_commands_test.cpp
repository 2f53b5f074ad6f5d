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

}  // namespace
}  // namespace kestrel::testing
