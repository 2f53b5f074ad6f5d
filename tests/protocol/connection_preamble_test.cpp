#include "protocol/connection_preamble.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {
namespace {

using Array = JSONValue::Array;
using Object = JSONValue::Object;

constexpr std::string_view deviceText = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

ConnectionPreamble read(std::string_view text) {
    return ConnectionPreamble::deserialize(asBytes(text));
}

nlohmann::json written(const ConnectionPreamble& preamble) {
    return nlohmann::json::parse(toText(preamble.serialized()));
}

std::optional<DecodingFailure> readFailure(std::string_view text) {
    try {
        read(text);
    } catch (const DecodingFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

TEST(ConnectionPreamble, ReadsAPairingPreamble) {
    const ConnectionPreamble preamble =
        read(R"({"v":1,"mode":"pairing","clientName":"Ana's phone"})");
    EXPECT_EQ(preamble.version, 1);
    EXPECT_EQ(preamble.mode, ConnectionMode::pairing);
    EXPECT_EQ(preamble.deviceID, std::nullopt);
    EXPECT_EQ(preamble.clientName, "Ana's phone");
    EXPECT_TRUE(preamble.unknownFields.empty());
    EXPECT_EQ(preamble, ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "Ana's phone"));
}

TEST(ConnectionPreamble, ReadsAnyCaseDeviceIDAndWritesItUpperCase) {
    const ConnectionPreamble preamble = read(
        R"({"clientName":"","deviceID":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","mode":"paired","v":2})");
    ASSERT_TRUE(preamble.deviceID);
    EXPECT_EQ(preamble.deviceID->uuidString(), deviceText);
    EXPECT_EQ(written(preamble), nlohmann::json::parse(R"({"v":2,"mode":"paired",
        "deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","clientName":""})"));
    EXPECT_EQ(read(toText(preamble.serialized())), preamble);
}

TEST(ConnectionPreamble, NullDeviceIDIsNoneAndIsLeftOutWhenWritten) {
    const ConnectionPreamble preamble =
        read(R"({"v":1,"mode":"pairing","deviceID":null,"clientName":"x"})");
    EXPECT_EQ(preamble.deviceID, std::nullopt);
    EXPECT_FALSE(written(preamble).contains("deviceID"));
}

TEST(ConnectionPreamble, AcceptsEveryIntegralVersionInSigned64Bits) {
    struct Case {
        std::string_view v;
        std::int64_t expected;
    };
    const Case accepted[] = {
        {"2", 2},
        {"0", 0},
        {"-5", -5},
        {"1.0", 1},
        {"-0.0", 0},
        {"1e3", 1000},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"-9223372036854775808.0", std::numeric_limits<std::int64_t>::min()},
    };
    for (const Case& test : accepted) {
        SCOPED_TRACE(test.v);
        const std::string text =
            R"({"mode":"pairing","clientName":"c","v":)" + std::string(test.v) + "}";
        EXPECT_EQ(read(text).version, test.expected);
    }
}

TEST(ConnectionPreamble, RefusesVersionsThatAreNotSigned64BitIntegers) {
    struct Case {
        std::string_view v;
        DecodingError error;
        std::optional<std::string> key;
    };
    const Case refused[] = {
        {"1.5", DecodingError::dataCorrupted, "v"},
        {"-0.5", DecodingError::dataCorrupted, "v"},
        {"\"1\"", DecodingError::typeMismatch, "v"},
        {"true", DecodingError::typeMismatch, "v"},
        {"[1]", DecodingError::typeMismatch, "v"},
        {"null", DecodingError::valueNotFound, "v"},
        {"9223372036854775808", DecodingError::dataCorrupted, "v"},
        {"18446744073709551616", DecodingError::dataCorrupted, "v"},
        {"9223372036854775808.0", DecodingError::dataCorrupted, "v"},
        {"-9223372036854777856.0", DecodingError::dataCorrupted, "v"},
        {"1e300", DecodingError::dataCorrupted, "v"},
        {"1e400", DecodingError::dataCorrupted, std::nullopt},  // not JSON nlohmann can hold
    };
    for (const Case& test : refused) {
        SCOPED_TRACE(test.v);
        const auto failure =
            readFailure(R"({"mode":"pairing","clientName":"c","v":)" + std::string(test.v) + "}");
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), test.error);
        EXPECT_EQ(failure->key(), test.key);
    }
}

TEST(ConnectionPreamble, RefusesMissingOrMalformedMembers) {
    struct Case {
        std::string_view text;
        DecodingError error;
        std::optional<std::string> key;
    };
    const Case refused[] = {
        {R"({"mode":"pairing","clientName":"c"})", DecodingError::keyNotFound, "v"},
        {R"({"v":1,"clientName":"c"})", DecodingError::keyNotFound, "mode"},
        {R"({"v":1,"mode":"Paired","clientName":"c"})", DecodingError::dataCorrupted, "mode"},
        {R"({"v":1,"mode":"","clientName":"c"})", DecodingError::dataCorrupted, "mode"},
        {R"({"v":1,"mode":1,"clientName":"c"})", DecodingError::typeMismatch, "mode"},
        {R"({"v":1,"mode":"paired","deviceID":"E621E1F8"})", DecodingError::dataCorrupted,
         "deviceID"},
        {R"({"v":1,"mode":"paired","deviceID":7,"clientName":"c"})", DecodingError::typeMismatch,
         "deviceID"},
        {R"({"v":1,"mode":"paired","deviceID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})",
         DecodingError::keyNotFound, "clientName"},
        {R"({"v":1,"mode":"pairing","clientName":null})", DecodingError::valueNotFound,
         "clientName"},
        {R"({"v":1,"mode":"pairing","clientName":["c"]})", DecodingError::typeMismatch,
         "clientName"},
        {R"([{"v":1,"mode":"pairing","clientName":"c"}])", DecodingError::typeMismatch,
         std::nullopt},
        {R"({"v":1,"mode":"pairing","clientName":"c")", DecodingError::dataCorrupted, std::nullopt},
    };
    for (const Case& test : refused) {
        SCOPED_TRACE(test.text);
        const auto failure = readFailure(test.text);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), test.error);
        EXPECT_EQ(failure->key(), test.key);
    }
}

TEST(ConnectionPreamble, UnknownMembersSurviveAReadAndAWrite) {
    const ConnectionPreamble preamble =
        read(R"({"v":1,"mode":"pairing","clientName":"c","caps":["a",2,{"b":null}],"x":1,"n":null,)"
             R"("big":9007199254740993})");
    const Object expected{
        {"caps", Array{"a", 2, Object{{"b", nullptr}}}},
        {"x", 1},
        {"n", nullptr},
        {"big", 9007199254740992.0},
    };
    EXPECT_EQ(preamble.unknownFields, expected);

    const std::string text = toText(preamble.serialized());
    EXPECT_NE(text.find(R"("x":1)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("n":null)"), std::string::npos) << text;
    EXPECT_EQ(read(text), preamble);
}

TEST(ConnectionPreamble, MemberOrderDoesNotMatter) {
    EXPECT_EQ(read(R"({"v":1,"mode":"pairing","clientName":"c","a":{"p":1,"q":2}})"),
              read(R"({"a":{"q":2,"p":1},"clientName":"c","mode":"pairing","v":1})"));
}

TEST(ConnectionPreamble, OwnMembersWinOverUnknownFieldsOfTheSameName) {
    ConnectionPreamble preamble(ConnectionMode::pairing, std::nullopt, "c");
    preamble.unknownFields = {
        {"v", "two"}, {"mode", "paired"}, {"deviceID", deviceText}, {"extra", true}};
    const nlohmann::json object = written(preamble);
    EXPECT_EQ(object,
              nlohmann::json::parse(R"({"v":1,"mode":"pairing","clientName":"c","extra":true})"));
}

TEST(ConnectionMode, RawValuesAreExactAndCaseSensitive) {
    for (ConnectionMode mode : {ConnectionMode::paired, ConnectionMode::pairing}) {
        EXPECT_EQ(connectionModeFromRawValue(rawValue(mode)), mode);
    }
    EXPECT_EQ(rawValue(ConnectionMode::paired), "paired");
    EXPECT_EQ(rawValue(ConnectionMode::pairing), "pairing");
    for (std::string_view text : {"Paired", "PAIRING", "paired ", ""}) {
        EXPECT_EQ(connectionModeFromRawValue(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace kestrel
