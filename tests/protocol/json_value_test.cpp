#include "protocol/json_value.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {
namespace {

using Array = JSONValue::Array;
using Object = JSONValue::Object;

JSONValue read(std::string_view text) { return JSONValue::fromJSON(json::parse(asBytes(text))); }

std::string write(const JSONValue& value) { return toText(json::serialize(value.toJSON())); }

template <typename Action>
std::optional<DecodingFailure> failureOf(Action action) {
    try {
        action();
    } catch (const DecodingFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

template <typename Action>
std::optional<std::error_code> encodingErrorOf(Action action) {
    try {
        action();
    } catch (const std::system_error& error) {
        return error.code();
    }
    return std::nullopt;
}

std::string nested(int depth, std::string_view open, std::string_view inner,
                   std::string_view close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += inner;
    for (int i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JSONValue, ReadsEachFormAsItsOwnKind) {
    struct Case {
        std::string_view text;
        JSONValue expected;
        JSONValue::Kind kind;
    };
    const Case cases[] = {
        {"true", true, JSONValue::Kind::boolean},
        {"1", 1, JSONValue::Kind::number},
        {"0", 0, JSONValue::Kind::number},
        {"-2.5e3", -2500.0, JSONValue::Kind::number},
        {"\"1\"", "1", JSONValue::Kind::string},
        {"null", nullptr, JSONValue::Kind::null},
        {"[]", Array{}, JSONValue::Kind::array},
        {"{}", Object{}, JSONValue::Kind::object},
        {"9007199254740993", 9007199254740992.0, JSONValue::Kind::number},
        {"18446744073709551615", 18446744073709551615.0, JSONValue::Kind::number},
        {R"([1, {"a": null}, ["x", false]])", Array{1, Object{{"a", nullptr}}, Array{"x", false}},
         JSONValue::Kind::array},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.text);
        const JSONValue value = read(test.text);
        EXPECT_EQ(value.kind(), test.kind);
        EXPECT_EQ(value, test.expected);
    }
}

TEST(JSONValue, EqualityAndHashFollowTheValue) {
    const JSONValue zero = 0.0;
    const JSONValue negativeZero = -0.0;
    EXPECT_EQ(zero, negativeZero);
    EXPECT_EQ(std::hash<JSONValue>{}(zero), std::hash<JSONValue>{}(negativeZero));

    const JSONValue forward = read(R"({"a": 1, "b": [true, null]})");
    const JSONValue backward = read(R"({"b": [true, null], "a": 1})");
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(std::hash<JSONValue>{}(forward), std::hash<JSONValue>{}(backward));

    const std::pair<JSONValue, JSONValue> different[] = {
        {1, true},
        {0, false},
        {1, "1"},
        {nullptr, 0},
        {nullptr, Array{}},
        {Array{}, Object{}},
        {Array{1, 2}, Array{2, 1}},
        {Array{1}, Array{1, 1}},
        {Object{{"a", 1}}, Object{{"b", 1}}},
        {Object{{"a", 1}}, Object{{"a", 1}, {"b", 1}}},
    };
    for (const auto& [left, right] : different) {
        EXPECT_NE(left, right) << write(left) << " vs " << write(right);
    }
}

TEST(JSONValue, WritesIntegralNumbersAsIntegersAndReadsBackEveryNumber) {
    EXPECT_EQ(write(1), "1");
    EXPECT_EQ(write(-5), "-5");
    EXPECT_EQ(write(1.5), "1.5");
    EXPECT_EQ(write(Array{1, Object{{"a", 2}}}), R"([1,{"a":2}])");

    const double numbers[] = {
        0.1,     -0.0,           9007199254740991.0, 9007199254740992.0,
        1e300,   -1e-300,        4.9e-324,           std::numeric_limits<double>::max(),
        -1.0e20, 123456789012.75};
    for (double number : numbers) {
        SCOPED_TRACE(number);
        const JSONValue back = read(write(number));
        ASSERT_TRUE(back.asNumber());
        EXPECT_EQ(*back.asNumber(), number);
        EXPECT_EQ(std::signbit(*back.asNumber()), std::signbit(number));
    }
}

TEST(JSONValue, NestedValuesRoundTrip) {
    const JSONValue value = Object{
        {"list", Array{1.25, "text", Array{}, Object{}, Object{{"deep", Array{nullptr, true}}}}},
        {"unicode", "caf\xc3\xa9 \xf0\x9f\x94\x91 \"quoted\"\n"},
        {"", false},
    };
    EXPECT_EQ(read(write(value)), value);
}

TEST(JSONValue, WritingRefusesWhatJSONCannotHold) {
    const JSONValue refused[] = {
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        Array{1, -std::numeric_limits<double>::infinity()},
        "\xff not UTF-8",
        Object{{"\xc3", 1}},
    };
    for (const JSONValue& value : refused) {
        EXPECT_EQ(encodingErrorOf([&] { write(value); }), EncodingError::invalidValue);
    }
}

TEST(JSONParse, AcceptsNestingUpToTheLimit) {
    EXPECT_NO_THROW(json::parse(asBytes(nested(json::maxDepth, "[", "1", "]"))));
    EXPECT_NO_THROW(json::parse(asBytes(nested(json::maxDepth, "{\"a\":", "1", "}"))));
    EXPECT_NO_THROW(json::parse(asBytes(nested(json::maxDepth - 1, "[", "{}", "]"))));
}

TEST(JSONParse, RefusesDeeperNestingWithoutExhaustingTheStack) {
    const std::string tooDeep[] = {
        nested(json::maxDepth + 1, "[", "", "]"),
        nested(json::maxDepth + 1, "{\"a\":", "1", "}"),
        nested(json::maxDepth, "[", "{}", "]"),
        nested(json::maxDepth / 2, "[{\"a\":", "[]", "}]"),
        std::string(512 * 1024, '['),
        nested(256 * 1024, "[", "", "]"),
    };
    for (const std::string& text : tooDeep) {
        SCOPED_TRACE(text.size());
        const auto failure = failureOf([&] { json::parse(asBytes(text)); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), DecodingError::dataCorrupted);
        EXPECT_EQ(failure->key(), std::nullopt);
    }
}

TEST(JSONParse, RefusesTextThatIsNotJSON) {
    const std::string_view refused[] = {
        "",
        "{",
        "[1,]",
        "{'a': 1}",
        "NaN",
        "1e400",
        "{\"a\": 1} x",
        "{\"a\": \"\xff\"}",
        "{\"a\": \"\xc3\"}",
        "{\"a\": \"\\ud800\"}",
    };
    for (std::string_view text : refused) {
        SCOPED_TRACE(text);
        const auto failure = failureOf([&] { json::parse(asBytes(text)); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code(), DecodingError::dataCorrupted);
    }
    const auto notObject = failureOf([] { json::parseObject(asBytes("[1]")); });
    ASSERT_TRUE(notObject);
    EXPECT_EQ(notObject->code(), DecodingError::typeMismatch);
}

// Values built in code can hold what parsing never yields; reading them fails cleanly.
TEST(JSONValue, RefusesValuesNoFormFits) {
    const auto binary = failureOf([] { JSONValue::fromJSON(nlohmann::json::binary({1, 2})); });
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->code(), DecodingError::dataCorrupted);
    EXPECT_EQ(binary->description(), "unrecognized JSON value");

    nlohmann::json deep = 1;
    for (int i = 0; i <= json::maxDepth; ++i) deep = nlohmann::json::array({deep});
    const auto tooDeep = failureOf([&] { JSONValue::fromJSON(deep); });
    ASSERT_TRUE(tooDeep);
    EXPECT_EQ(tooDeep->code(), DecodingError::dataCorrupted);

    const nlohmann::json object = {{"known", 1}, {"odd", {1, nlohmann::json::binary({3})}}};
    const std::string_view ownKeys[] = {"known"};
    const auto member = failureOf([&] { json::unknownMembers(object, ownKeys); });
    ASSERT_TRUE(member);
    EXPECT_EQ(member->code(), DecodingError::dataCorrupted);
    EXPECT_EQ(member->key(), "odd");
    EXPECT_EQ(member->description(), "unrecognized JSON value");
}

}  // namespace
}  // namespace kestrel
