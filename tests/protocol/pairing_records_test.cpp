#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/paired_device.hpp"
#include "protocol/pairing_grant.hpp"
#include "test_support.hpp"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

const UUID deviceID = *UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const SymmetricKey key(
    testing::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"));
constexpr std::string_view keyText = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

// 2001-01-01 00:00:00 UTC, the zero of the dates' JSON form.
constexpr Date referenceDate{978307200s};

nlohmann::json parsed(const Bytes& text) { return nlohmann::json::parse(toText(text)); }

template <typename Record>
std::optional<DecodingFailure> readFailure(std::string_view text) {
    try {
        Record::deserialize(asBytes(text));
    } catch (const DecodingFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

struct FailureCase {
    std::string text;
    DecodingError error;
    std::optional<std::string> key;
};

template <typename Record>
void expectFailures(std::span<const FailureCase> cases) {
    for (const FailureCase& test : cases) {
        SCOPED_TRACE(test.text);
        const auto failure = readFailure<Record>(test.text);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), test.error);
        EXPECT_EQ(failure->key(), test.key);
    }
}

TEST(PairingGrant, WritesTheClientsFormAndReadsItBack) {
    const PairingGrant grant(deviceID, key, "studio-mac");
    const nlohmann::json expected = {
        {"deviceID", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},
        {"pskData", keyText},
        {"relayName", "studio-mac"},
    };
    EXPECT_EQ(parsed(grant.serialized()), expected);
    EXPECT_EQ(PairingGrant::deserialize(grant.serialized()), grant);
}

TEST(PairingGrant, IgnoresAndDropsExtraMembers) {
    const std::string text = R"({"deviceID":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","pskData":")" +
                             std::string(keyText) + R"(","relayName":"r","extra":[1]})";
    const PairingGrant grant = PairingGrant::deserialize(asBytes(text));
    EXPECT_EQ(grant, PairingGrant(deviceID, key, "r"));
    EXPECT_FALSE(parsed(grant.serialized()).contains("extra"));
}

TEST(PairingGrant, RefusesMissingOrMalformedMembers) {
    const FailureCase cases[] = {
        {R"({"pskData":"AAAA","relayName":"r"})", DecodingError::keyNotFound, "deviceID"},
        {R"({"deviceID":"E621E1F8-C36C-495A-93FC","pskData":"AAAA","relayName":"r"})",
         DecodingError::dataCorrupted, "deviceID"},
        {R"({"deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","relayName":"r"})",
         DecodingError::keyNotFound, "pskData"},
        {R"({"deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","pskData":"AAA","relayName":"r"})",
         DecodingError::dataCorrupted, "pskData"},
        {R"({"deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","pskData":[0],"relayName":"r"})",
         DecodingError::typeMismatch, "pskData"},
        {R"({"deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","pskData":"AAAA"})",
         DecodingError::keyNotFound, "relayName"},
        {R"({"deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","pskData":"AAAA","relayName":5})",
         DecodingError::typeMismatch, "relayName"},
        {"null", DecodingError::typeMismatch, std::nullopt},
    };
    expectFailures<PairingGrant>(cases);
}

TEST(PairedDevice, RoundTripsWithAndWithoutLastUse) {
    const PairedDevice unused(deviceID, "Ana's phone", key, referenceDate + 725'000'000s);
    const nlohmann::json written = parsed(unused.serialized());
    EXPECT_FALSE(written.contains("lastUsedAt"));
    EXPECT_EQ(written["pairedAt"], 725'000'000.0);
    EXPECT_EQ(written["pskData"], keyText);
    EXPECT_EQ(PairedDevice::deserialize(unused.serialized()), unused);

    PairedDevice used = unused;
    used.lastUsedAt = referenceDate + 725'000'100'500ms;
    EXPECT_EQ(parsed(used.serialized())["lastUsedAt"], 725'000'100.5);
    EXPECT_EQ(PairedDevice::deserialize(used.serialized()), used);
    EXPECT_EQ(used.psk(), key);
}

TEST(PairedDevice, ReadsNullLastUseAsNoneAndIgnoresExtraMembers) {
    const std::string text = R"({"deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)"
                             R"("displayName":"d","pskData":")" +
                             std::string(keyText) +
                             R"(","pairedAt":-1.25,"lastUsedAt":null,"note":"x"})";
    const PairedDevice device = PairedDevice::deserialize(asBytes(text));
    EXPECT_EQ(device, PairedDevice(deviceID, "d", key, referenceDate - 1250ms));
}

TEST(PairedDevice, RefusesMissingOrMalformedMembers) {
    // Each case is a valid device with one member changed.
    const auto with = [](std::string_view member) {
        nlohmann::json object = {{"deviceID", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},
                                 {"displayName", "d"},
                                 {"pskData", "AAAA"},
                                 {"pairedAt", 0}};
        object.merge_patch(nlohmann::json::parse(member));
        return object.dump();
    };
    // merge_patch removes a member set to null: those rows test a missing member.
    const FailureCase cases[] = {
        {with(R"({"deviceID":null})"), DecodingError::keyNotFound, "deviceID"},
        {with(R"({"deviceID":"x"})"), DecodingError::dataCorrupted, "deviceID"},
        {with(R"({"displayName":null})"), DecodingError::keyNotFound, "displayName"},
        {with(R"({"displayName":1})"), DecodingError::typeMismatch, "displayName"},
        {with(R"({"pskData":"AAAA="})"), DecodingError::dataCorrupted, "pskData"},
        {with(R"({"pairedAt":null})"), DecodingError::keyNotFound, "pairedAt"},
        {with(R"({"pairedAt":"2024-01-01"})"), DecodingError::typeMismatch, "pairedAt"},
        {with(R"({"pairedAt":1e300})"), DecodingError::dataCorrupted, "pairedAt"},
        {with(R"({"lastUsedAt":-1e300})"), DecodingError::dataCorrupted, "lastUsedAt"},
        {with(R"({"lastUsedAt":"now"})"), DecodingError::typeMismatch, "lastUsedAt"},
    };
    expectFailures<PairedDevice>(cases);
}

TEST(ReferenceDate, ConvertsSecondsBothWays) {
    EXPECT_EQ(secondsSinceReferenceDate(referenceDate), 0.0);
    EXPECT_EQ(secondsSinceReferenceDate(Date{}), -978307200.0);
    EXPECT_EQ(secondsSinceReferenceDate(referenceDate + 1500ms), 1.5);
    EXPECT_EQ(dateFromReferenceSeconds(-978307200.0), Date{});
    EXPECT_EQ(dateFromReferenceSeconds(0.25), referenceDate + 250ms);

    // The clock's whole range converts without overflow, to within the precision of a double.
    for (const Date date : {Date::min() + 1s, Date::max() - 1s}) {
        const auto back = dateFromReferenceSeconds(secondsSinceReferenceDate(date));
        ASSERT_TRUE(back);
        EXPECT_LT(std::chrono::abs(*back - date), 1ms);
    }
}

TEST(ReferenceDate, RefusesSecondsNoDateCanHold) {
    const double refused[] = {
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        1e300,
        -1e300,
        8.3e9,     // past the year 2262, the end of a 64-bit nanosecond clock
        -1.03e10,  // before 1677
        std::numeric_limits<double>::max(),
    };
    for (double seconds : refused) {
        EXPECT_EQ(dateFromReferenceSeconds(seconds), std::nullopt) << seconds;
    }
}

}  // namespace
}  // namespace kestrel
