// A relay on loopback, driven by the protocol library's client role as a device would, in front
// of a real ssh-agent.

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <asio/use_awaitable.hpp>

#include "platform/file_secret_store.hpp"
#include "platform/file_settings_store.hpp"
#include "protocol/pairing.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "protocol/ssh_wire.hpp"
#include "relay_harness.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel::testing {
namespace {

using namespace SSHAgentProtocol;

struct PairedDeviceKeys {
    UUID deviceID;
    SymmetricKey psk;
};

class RelaySessionTest : public ::testing::Test {
protected:
    void SetUp() override { harness_.startRelay(); }

    PairedDeviceKeys pairDevice(const std::string& name = "Test Phone") {
        const PairingGrant grant = harness_.pairNewDevice(name);
        return {grant.deviceID, grant.pskData};
    }

    RelayClient openPaired(const PairedDeviceKeys& device) {
        return harness_.run(harness_.openPaired(device.deviceID, device.psk));
    }

    Bytes request(RelayClient& client, ByteView message) {
        return harness_.run(client.agentRequest(message));
    }

    // Whether the relay has closed this connection: the next read ends without data.
    bool isClosedByRelay(RelayClient& client) {
        try {
            harness_.run(client.receiveEnvelope());
        } catch (const std::system_error&) {
            return true;
        }
        return false;
    }

    // The error a connection attempt ended with; none if it succeeded.
    static std::error_code handshakeFailure(const std::function<void()>& attempt) {
        try {
            attempt();
        } catch (const std::system_error& error) {
            return error.code();
        }
        return {};
    }

    void useAgent(const SSHAgentFixture& agent) {
        harness_.controller->setSocketOverride(agent.socketPath());
    }

    RelayHarness harness_;
};

// The first string of an SSH wire blob, and the second one.
std::pair<std::string, Bytes> typeAndData(ByteView blob) {
    SSHWireReader reader(blob);
    std::string type = toText(reader.readString());
    return {type, reader.readString()};
}

bool verifyEd25519(ByteView keyBlob, ByteView signatureBlob, ByteView data) {
    const Bytes publicKey = typeAndData(keyBlob).second;
    const Bytes signature = typeAndData(signatureBlob).second;
    EVP_PKEY* key =
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size());
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool valid = key != nullptr && context != nullptr &&
                       EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                       EVP_DigestVerify(context, signature.data(), signature.size(), data.data(),
                                        data.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

TEST_F(RelaySessionTest, PairingStoresTheDeviceAndClosesTheWindow) {
    harness_.controller->startPairing();
    const std::string code = *harness_.controller->pairingCode();
    ASSERT_EQ(code.size(), 6u);

    const auto exchange = [&]() -> asio::awaitable<RelayEnvelope> {
        const ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, "Ada's Phone");
        RelayClient client = co_await RelayClient::open(co_await harness_.connect(), preamble,
                                                        Pairing::bootstrapPSK(code));
        RelayEnvelope grant = co_await client.receiveEnvelope();
        co_await client.sendEnvelope(RelayEnvelope(RelayMessageType::pairingAck, {}, 1));
        co_return grant;
    };
    const RelayEnvelope envelope = harness_.run(exchange());
    EXPECT_EQ(envelope.type, RelayMessageType::pairingGrant);
    EXPECT_EQ(envelope.version, 1);
    const PairingGrant grant = PairingGrant::deserialize(envelope.payload);
    EXPECT_EQ(grant.relayName, "Test Relay");
    EXPECT_EQ(grant.pskData.size(), 32u);

    harness_.runUntil([&] { return !harness_.controller->pairingCode(); });
    const auto device = harness_.controller->store().device(grant.deviceID);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->displayName, "Ada's Phone");
    EXPECT_EQ(device->pskData, grant.pskData);
    EXPECT_FALSE(device->lastUsedAt);
    EXPECT_TRUE(
        harness_.memorySecrets.contains(RelayController::keyService, grant.deviceID.uuidString()));
    ASSERT_TRUE(harness_.lastPairingEnded());
    EXPECT_EQ(harness_.lastPairingEnded()->result, PairingResult::paired);
}

TEST_F(RelaySessionTest, ListsAndSignsWithTheRealAgentUnderTheNotice) {
    const SSHAgentFixture agent({SSHKeyType::ed25519, SSHKeyType::ecdsaP256});
    useAgent(agent);
    const PairedDeviceKeys device = pairDevice("Ada's Phone");
    RelayClient client = openPaired(device);

    const Bytes answer = request(client, encodeRequestIdentities());
    const auto identities = decodeIdentitiesAnswer(deframe(answer)->body);
    ASSERT_EQ(identities.size(), 2u);
    EXPECT_EQ(identities[0].algorithmName(), "ssh-ed25519");
    EXPECT_EQ(identities[1].algorithmName(), "ecdsa-sha2-nistp256");
    EXPECT_TRUE(harness_.controller->store().device(device.deviceID)->lastUsedAt);

    const Bytes data = toBytes("data to sign");
    const Bytes signed_ = request(client, encodeSignRequest(identities[0].keyBlob, data, {}));
    const Bytes signature = decodeSignResponse(deframe(signed_)->body);
    EXPECT_TRUE(verifyEd25519(identities[0].keyBlob, signature, data));

    ASSERT_EQ(harness_.notices.calls().size(), 2u);
    EXPECT_EQ(harness_.notices.calls()[0].deviceName, "Ada's Phone");
    EXPECT_FALSE(harness_.notices.isShowing());
}

TEST_F(RelaySessionTest, OnlyTheFirstListOrSignMessageEverReachesTheAgent) {
    const SSHAgentFixture agent;
    useAgent(agent);
    RelayClient client = openPaired(pairDevice());
    const Bytes removeAll = frame(Bytes{19});
    const Bytes failure = encodeFailure();
    const std::pair<const char*, Bytes> refused[] = {
        {"add identity", frame(Bytes{17, 0, 0, 0, 0})},
        {"remove all identities", removeAll},
        {"lock", frame(Bytes{22, 0, 0, 0, 1, 'x'})},
        {"unknown type", frame(Bytes{99})},
        {"empty payload", {}},
        {"empty body", Bytes{0, 0, 0, 0}},
        {"length beyond the payload", Bytes{0, 0, 0, 9, 11}},
    };
    for (const auto& [name, payload] : refused) {
        EXPECT_EQ(request(client, payload), failure) << name;
    }

    // A list request with a remove-all smuggled behind it: the list is answered, the rest dropped.
    Bytes smuggled = encodeRequestIdentities();
    append(smuggled, removeAll);
    const Bytes answer = request(client, smuggled);
    EXPECT_EQ(decodeIdentitiesAnswer(deframe(answer)->body).size(), 1u);
    EXPECT_EQ(agent.sshAddList(), agent.publicKeys().at(0) + "\n");
}

TEST_F(RelaySessionTest, AnEnvelopeOtherThanARequestEndsTheSession) {
    RelayClient client = openPaired(pairDevice());
    harness_.run(client.sendEnvelope(RelayEnvelope(RelayMessageType::pairingAck, {}, 1)));
    EXPECT_TRUE(isClosedByRelay(client));
}

// A device turned away sees a clean end of stream, never a reset: a reset means the relay
// dropped the connection without judging the device (see admission_test). The relay may close
// before or after the client hello arrives, so each case runs several times.
TEST_F(RelaySessionTest, UnknownAndRevokedDevicesAreTurnedAway) {
    const PairedDeviceKeys device = pairDevice();
    RelayClient live = openPaired(device);

    for (int attempt = 0; attempt < 20; ++attempt) {
        EXPECT_EQ(handshakeFailure([&] {
                      openPaired({UUID::random(), device.psk});
                  }),
                  RelayIOError::closed);
        EXPECT_EQ(handshakeFailure([&] { harness_.run(harness_.pair("000000", "Nobody")); }),
                  RelayIOError::closed)
            << "a pairing connection while no code is open";
    }

    harness_.controller->revoke(device.deviceID);
    EXPECT_TRUE(isClosedByRelay(live));
    for (int attempt = 0; attempt < 20; ++attempt)
        EXPECT_EQ(handshakeFailure([&] { openPaired(device); }), RelayIOError::closed);
    EXPECT_FALSE(
        harness_.memorySecrets.contains(RelayController::keyService, device.deviceID.uuidString()));
}

TEST_F(RelaySessionTest, PairingExpiresAtItsDeadline) {
    harness_.controller->startPairing(0.2);
    const std::string code = *harness_.controller->pairingCode();
    harness_.runUntil([&] { return !harness_.controller->pairingCode(); });
    EXPECT_EQ(harness_.lastPairingEnded()->result, PairingResult::expired);
    EXPECT_THROW(harness_.run(harness_.pair(code, "Late")), std::system_error);
}

TEST(RelayRestartTest, APairedDeviceStillConnectsAfterARestart) {
    const SSHAgentFixture agent;
    const TemporaryDirectory state;
    FileSettingsStore settings((state.path() / "settings.json").string());
    FileSecretStore secrets((state.path() / "secrets.json").string());
    PairedDeviceKeys device{UUID::random(), SymmetricKey()};
    {
        RelayHarness first;
        first.settings = &settings;
        first.secrets = &secrets;
        first.startRelay();
        first.controller->setSocketOverride(agent.socketPath());
        first.controller->startPairing();
        const PairingGrant grant = first.run(first.pair(*first.controller->pairingCode(), "Phone"));
        first.runUntil([&] { return !first.controller->pairingCode(); });
        device = {grant.deviceID, grant.pskData};
    }
    FileSettingsStore reopenedSettings((state.path() / "settings.json").string());
    FileSecretStore reopenedSecrets((state.path() / "secrets.json").string());
    RelayHarness second;
    second.settings = &reopenedSettings;
    second.secrets = &reopenedSecrets;
    second.startRelay();
    ASSERT_EQ(second.controller->store().devices().size(), 1u);
    RelayClient client = second.run(second.openPaired(device.deviceID, device.psk));
    const Bytes answer = second.run(client.agentRequest(encodeRequestIdentities()));
    EXPECT_EQ(decodeIdentitiesAnswer(deframe(answer)->body).size(), 1u);
}

}  // namespace
}  // namespace kestrel::testing
