#pragma once

// JSONValue holds any JSON value: the relay's records keep the members they do not know as
// JSONValues, so that such members survive a read followed by a write. This header also holds
// the errors of JSON reading and writing and, in namespace json, the few helpers with which
// the records parse, read and write their members. nlohmann-json does the parsing and writing.

#include <nlohmann/json_fwd.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/bytes.hpp"
#include "protocol/crypto.hpp"
#include "protocol/date.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

enum class DecodingError {
    typeMismatch = 1,  // a member of the wrong JSON type, or a top level that is not an object
    valueNotFound,     // a required member that is null
    keyNotFound,       // a required member that is absent
    dataCorrupted,     // not JSON, nested too deeply, or a well-typed value that is not valid
};

const std::error_category& decodingCategory() noexcept;
std::error_code make_error_code(DecodingError error) noexcept;

// Every failure to read a record from JSON. key() names the offending member where there is
// one; description() says what was wrong with it ("payload not base64").
class DecodingFailure : public std::system_error {
public:
    DecodingFailure(DecodingError error, std::optional<std::string> key, std::string description);

    const std::optional<std::string>& key() const noexcept { return key_; }
    const std::string& description() const noexcept { return description_; }

private:
    std::optional<std::string> key_;
    std::string description_;
};

// Thrown as std::system_error when a value cannot be written as JSON: a NaN or infinite
// number, or a string that is not valid UTF-8.
enum class EncodingError {
    invalidValue = 1,
};

const std::error_category& encodingCategory() noexcept;
std::error_code make_error_code(EncodingError error) noexcept;

namespace detail {

// Integers are numbers; bool has a constructor of its own.
template <typename T>
concept NonBoolIntegral = std::integral<T> && !std::same_as<T, bool>;

}  // namespace detail

class JSONValue {
public:
    // The index of each kind is part of the hash, so the order is fixed.
    enum class Kind { string, number, boolean, null, array, object };
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;

    JSONValue() noexcept = default;
    JSONValue(std::nullptr_t) noexcept {}
    JSONValue(std::string text) : value_(std::in_place_type<std::string>, std::move(text)) {}
    JSONValue(std::string_view text) : JSONValue(std::string(text)) {}
    JSONValue(const char* text) : JSONValue(std::string(text)) {}
    JSONValue(double number) noexcept : value_(std::in_place_type<double>, number) {}
    template <detail::NonBoolIntegral Integer>
    JSONValue(Integer number) noexcept : JSONValue(static_cast<double>(number)) {}
    JSONValue(bool flag) noexcept : value_(std::in_place_type<bool>, flag) {}
    JSONValue(Array elements) : value_(std::in_place_type<Array>, std::move(elements)) {}
    JSONValue(Object members) : value_(std::in_place_type<Object>, std::move(members)) {}
    // Any other pointer would silently become a bool.
    JSONValue(const void*) = delete;

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    bool isNull() const noexcept { return kind() == Kind::null; }

    // The payload when the value is of that kind, else nullptr.
    const std::string* asString() const noexcept { return std::get_if<std::string>(&value_); }
    const double* asNumber() const noexcept { return std::get_if<double>(&value_); }
    const bool* asBool() const noexcept { return std::get_if<bool>(&value_); }
    const Array* asArray() const noexcept { return std::get_if<Array>(&value_); }
    const Object* asObject() const noexcept { return std::get_if<Object>(&value_); }

    // Takes the first form that fits: null, boolean, number (every JSON number, integral or
    // not, as a double), string, array, object. Anything else nlohmann can hold (binary,
    // discarded) is dataCorrupted "unrecognized JSON value"; so is nesting deeper than
    // json::maxDepth, which only a value built in code can have.
    static JSONValue fromJSON(const nlohmann::json& value);

    // An integral number below 2^53 in magnitude (other than -0) is written as an integer, so
    // 1 is "1" and not "1.0"; other numbers as nlohmann writes doubles, which read back the
    // same. A NaN or infinite number throws EncodingError::invalidValue.
    nlohmann::json toJSON() const;

    // Structural: kinds must match; numbers compare as doubles (0 == -0); objects as maps.
    friend bool operator==(const JSONValue&, const JSONValue&) = default;

private:
    friend struct std::hash<JSONValue>;

    std::variant<std::string, double, bool, std::nullptr_t, Array, Object> value_{nullptr};
};

namespace json {

// The deepest nesting of arrays and objects that parse() accepts. Far more than any record
// needs, and shallow enough that recursive walks over a parsed value are safe.
inline constexpr int maxDepth = 64;

// The description of the failure for a value nested deeper than maxDepth, for callers that word
// that case for their users.
inline constexpr std::string_view nestedTooDeeply = "JSON nested too deeply";

// Parses UTF-8 JSON text. dataCorrupted when it is not JSON (invalid UTF-8 included) or nests
// deeper than maxDepth (described as nestedTooDeeply). nlohmann's parser is iterative and is
// stopped at the first container too deep, before it is built, so no input can exhaust the
// stack.
nlohmann::json parse(ByteView text);

// As parse(), and the top level must be an object (typeMismatch otherwise).
nlohmann::json parseObject(ByteView text);

// Compact UTF-8 text. EncodingError::invalidValue when a string is not valid UTF-8.
Bytes serialize(const nlohmann::json& value);

// Member readers of the records. Each failure is a DecodingFailure naming the member:
// keyNotFound when a required member is absent, valueNotFound when it is null, typeMismatch
// for a wrong JSON type, dataCorrupted for a value of the right type that is not valid. The
// optional readers give none for an absent or null member and fail like the others otherwise.
std::string requiredString(const nlohmann::json& object, std::string_view key);
std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key);
double requiredNumber(const nlohmann::json& object, std::string_view key);
std::optional<double> optionalNumber(const nlohmann::json& object, std::string_view key);
UUID requiredUUID(const nlohmann::json& object, std::string_view key);
std::optional<UUID> optionalUUID(const nlohmann::json& object, std::string_view key);

// A JSON number that is an integer within the signed 64-bit range. A floating-point number
// counts when it is integral (1.0 reads as 1); 1.5, 2^63 and anything beyond fail as
// dataCorrupted, as does a string such as "1" as typeMismatch.
std::int64_t requiredInt64(const nlohmann::json& object, std::string_view key);

// A date stored as seconds since 2001-01-01 UTC (see date.hpp); dataCorrupted when the number
// is out of the clock's range.
Date requiredDate(const nlohmann::json& object, std::string_view key);

// Strict standard Base64 (see base64Decode); otherwise dataCorrupted "<key> not base64".
Bytes requiredBase64(const nlohmann::json& object, std::string_view key);
// A key held as Base64, read as requiredBase64 does. The decoded bytes are wiped once the key
// holds them; the JSON text belongs to the caller.
SymmetricKey requiredKey(const nlohmann::json& object, std::string_view key);

// Every member whose name is not one of ownKeys (exact comparison), read as a JSONValue. A
// value that fits no form fails the whole read, naming its member.
JSONValue::Object unknownMembers(const nlohmann::json& object,
                                 std::span<const std::string_view> ownKeys);

// Adds members to object, except those named like one of ownKeys: the record's own member is
// the one written under such a name. Throws EncodingError as JSONValue::toJSON does.
void writeUnknownMembers(nlohmann::json& object, const JSONValue::Object& members,
                         std::span<const std::string_view> ownKeys);

}  // namespace json
}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::DecodingError> : std::true_type {};

template <>
struct std::is_error_code_enum<kestrel::EncodingError> : std::true_type {};

// Consistent with ==: the kind's index first, then the payload; -0 hashes like 0.
template <>
struct std::hash<kestrel::JSONValue> {
    std::size_t operator()(const kestrel::JSONValue& value) const noexcept;
};
