#include "protocol/relay_envelope.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/base64.hpp"

namespace kestrel {
namespace {

using Object = JSONValue::Object;

RelayEnvelope read(std::string_view text) { return RelayEnvelope::deserialize(asBytes(text)); }

nlohmann::json written(const RelayEnvelope& envelope) {
    return nlohmann::json::parse(toText(envelope.serialized()));
}

std::optional<DecodingFailure> readFailure(std::string_view text) {
    try {
        read(text);
    } catch (const DecodingFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

TEST(RelayEnvelope, WritesPayloadAsPaddedBase64AndReadsItBack) {
    const RelayEnvelope request(RelayMessageType::agentRequest, Bytes{0, 0, 0, 1, 11});
    EXPECT_EQ(written(request),
              nlohmann::json::parse(R"({"v":1,"type":"agentRequest","payload":"AAAAAQs="})"));
    EXPECT_EQ(RelayEnvelope::deserialize(request.serialized()), request);

    const RelayEnvelope empty(RelayMessageType::agentResponse, Bytes{}, 3);
    EXPECT_EQ(written(empty)["payload"], "");
    EXPECT_EQ(RelayEnvelope::deserialize(empty.serialized()), empty);
}

// Envelopes without unknown members are written without a JSON tree: the bytes must be those of
// the general writer, which the client app reads.
TEST(RelayEnvelope, TheDirectWriterGivesTheBytesOfTheJSONWriter) {
    for (const RelayMessageType type :
         {RelayMessageType::pairingGrant, RelayMessageType::pairingAck,
          RelayMessageType::agentRequest, RelayMessageType::agentResponse,
          RelayMessageType::error}) {
        for (const std::size_t size : {0, 1, 2, 3, 4, 700, 262'147}) {
            for (const std::int64_t version : {std::int64_t{1}, std::int64_t{0}, std::int64_t{-7},
                                               std::numeric_limits<std::int64_t>::max()}) {
                Bytes payload(size);
                for (std::size_t i = 0; i < size; ++i)
                    payload[i] = static_cast<std::uint8_t>(i * 7);
                const RelayEnvelope envelope(type, payload, version);
                const nlohmann::json tree = {
                    {"v", version}, {"type", rawValue(type)}, {"payload", base64Encode(payload)}};
                EXPECT_EQ(toText(envelope.serialized()), tree.dump())
                    << rawValue(type) << ", " << size << " bytes, version " << version;
            }
        }
    }
}

TEST(RelayEnvelope, ReadsEveryMessageTypeByItsExactName) {
    const std::pair<std::string_view, RelayMessageType> types[] = {
        {"pairingGrant", RelayMessageType::pairingGrant},
        {"pairingAck", RelayMessageType::pairingAck},
        {"agentRequest", RelayMessageType::agentRequest},
        {"agentResponse", RelayMessageType::agentResponse},
        {"error", RelayMessageType::error},
    };
    for (const auto& [name, type] : types) {
        EXPECT_EQ(rawValue(type), name);
        const std::string text = R"({"v":7,"payload":"","type":")" + std::string(name) + R"("})";
        const RelayEnvelope envelope = read(text);
        EXPECT_EQ(envelope.type, type) << name;
        EXPECT_EQ(envelope.version, 7);
    }
    for (std::string_view text : {"AgentRequest", "agentrequest", "agentRequest ", ""}) {
        EXPECT_EQ(relayMessageTypeFromRawValue(text), std::nullopt) << text;
    }
}

TEST(RelayEnvelope, RefusesMissingOrMalformedMembers) {
    struct Case {
        std::string_view text;
        DecodingError error;
        std::optional<std::string> key;
        std::string_view description;  // checked when not empty
    };
    const Case refused[] = {
        {R"({"v":1,"type":"agentRequest","payload":"AAAA AQs="})", DecodingError::dataCorrupted,
         "payload", "payload not base64"},
        {R"({"v":1,"type":"agentRequest","payload":"AAAAAQs=\n"})", DecodingError::dataCorrupted,
         "payload", "payload not base64"},
        {R"({"v":1,"type":"agentRequest","payload":"AAAA\nAQs="})", DecodingError::dataCorrupted,
         "payload", "payload not base64"},
        {R"({"v":1,"type":"agentRequest","payload":"AAAAAQs"})", DecodingError::dataCorrupted,
         "payload", "payload not base64"},
        {R"({"v":1,"type":"agentRequest","payload":"AAAAAQs_"})", DecodingError::dataCorrupted,
         "payload", "payload not base64"},
        {R"({"v":1,"type":"agentRequest","payload":12})", DecodingError::typeMismatch, "payload",
         ""},
        {R"({"v":1,"type":"agentRequest"})", DecodingError::keyNotFound, "payload", ""},
        {R"({"v":1,"type":"agentRequest","payload":null})", DecodingError::valueNotFound, "payload",
         ""},
        {R"({"v":1,"type":"AgentRequest","payload":""})", DecodingError::dataCorrupted, "type", ""},
        {R"({"v":1,"type":7,"payload":""})", DecodingError::typeMismatch, "type", ""},
        {R"({"v":1,"payload":""})", DecodingError::keyNotFound, "type", ""},
        {R"({"type":"agentRequest","payload":""})", DecodingError::keyNotFound, "v", ""},
        {R"({"v":1.5,"type":"agentRequest","payload":""})", DecodingError::dataCorrupted, "v", ""},
        {R"("agentRequest")", DecodingError::typeMismatch, std::nullopt, ""},
        {"", DecodingError::dataCorrupted, std::nullopt, ""},
    };
    for (const Case& test : refused) {
        SCOPED_TRACE(test.text);
        const auto failure = readFailure(test.text);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), test.error);
        EXPECT_EQ(failure->key(), test.key);
        if (!test.description.empty()) {
            EXPECT_EQ(failure->description(), test.description);
        }
    }
}

TEST(RelayEnvelope, UnknownMembersSurviveAReadAndAWrite) {
    const RelayEnvelope envelope =
        read(R"({"v":1,"type":"error","payload":"","info":{"code":4,"why":["x",null]}})");
    const Object expected{{"info", Object{{"code", 4}, {"why", JSONValue::Array{"x", nullptr}}}}};
    EXPECT_EQ(envelope.unknownFields, expected);
    EXPECT_EQ(written(envelope)["info"], nlohmann::json::parse(R"({"code":4,"why":["x",null]})"));
    EXPECT_EQ(RelayEnvelope::deserialize(envelope.serialized()), envelope);
}

TEST(RelayEnvelope, OwnMembersWinOverUnknownFieldsOfTheSameName) {
    RelayEnvelope envelope(RelayMessageType::agentResponse, Bytes{1});
    envelope.unknownFields = {{"payload", "AAAA"}, {"type", "error"}, {"v", 9}, {"x", "y"}};
    EXPECT_EQ(written(envelope),
              nlohmann::json::parse(R"({"v":1,"type":"agentResponse","payload":"AQ==","x":"y"})"));
}

TEST(RelayEnvelope, UnwritableUnknownFieldFailsTheWrite) {
    const JSONValue unwritable[] = {
        std::numeric_limits<double>::quiet_NaN(),
        Object{{"deep", -std::numeric_limits<double>::infinity()}},
        "\xc3\x28",
    };
    for (const JSONValue& value : unwritable) {
        RelayEnvelope envelope(RelayMessageType::agentResponse, Bytes{});
        envelope.unknownFields["bad"] = value;
        try {
            envelope.serialized();
            ADD_FAILURE() << "written";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), EncodingError::invalidValue);
        }
    }
}

}  // namespace
}  // namespace kestrel
