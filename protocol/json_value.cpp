#include "protocol/json_value.hpp"

#include <openssl/crypto.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <utility>

#include "protocol/base64.hpp"
#include "protocol/error_category.hpp"

namespace kestrel {
namespace {

const char* describe(DecodingError error) noexcept {
    switch (error) {
        case DecodingError::typeMismatch: return "type mismatch";
        case DecodingError::valueNotFound: return "value not found";
        case DecodingError::keyNotFound: return "key not found";
        case DecodingError::dataCorrupted: return "data corrupted";
    }
    return "unknown decoding error";
}

const char* describe(EncodingError error) noexcept {
    switch (error) {
        case EncodingError::invalidValue: return "invalid value";
    }
    return "unknown encoding error";
}

const detail::EnumErrorCategory<DecodingError> decodingErrors{"kestrel.json-decoding", describe};
const detail::EnumErrorCategory<EncodingError> encodingErrors{"kestrel.json-encoding", describe};

std::string failureMessage(const std::optional<std::string>& key, const std::string& description) {
    return key ? "\"" + *key + "\": " + description : description;
}

[[noreturn]] void fail(DecodingError error, std::optional<std::string_view> key,
                       std::string description) {
    throw DecodingFailure(error, key ? std::optional<std::string>(*key) : std::nullopt,
                          std::move(description));
}

[[noreturn]] void failEncoding(const char* what) {
    throw std::system_error(make_error_code(EncodingError::invalidValue), what);
}

constexpr double twoTo53 = 9007199254740992.0;
constexpr double twoTo63 = 9223372036854775808.0;

JSONValue readArray(const nlohmann::json& value, int depth);
JSONValue readObject(const nlohmann::json& value, int depth);

// depth: how many arrays and objects enclose value.
JSONValue readValue(const nlohmann::json& value, int depth) {
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::null: return nullptr;
        case Type::boolean: return value.get<bool>();
        case Type::number_integer:
        case Type::number_unsigned:
        case Type::number_float: return value.get<double>();
        case Type::string: return value.get_ref<const std::string&>();
        case Type::array: return readArray(value, depth);
        case Type::object: return readObject(value, depth);
        case Type::binary:
        case Type::discarded: break;
    }
    fail(DecodingError::dataCorrupted, std::nullopt, "unrecognized JSON value");
}

void checkDepth(int depth) {
    if (depth >= json::maxDepth) {
        fail(DecodingError::dataCorrupted, std::nullopt, std::string(json::nestedTooDeeply));
    }
}

JSONValue readArray(const nlohmann::json& value, int depth) {
    checkDepth(depth);
    JSONValue::Array elements;
    elements.reserve(value.size());
    for (const auto& element : value) elements.push_back(readValue(element, depth + 1));
    return elements;
}

JSONValue readObject(const nlohmann::json& value, int depth) {
    checkDepth(depth);
    JSONValue::Object members;
    for (const auto& [name, member] : value.items()) {
        members.emplace(name, readValue(member, depth + 1));
    }
    return members;
}

nlohmann::json writeNumber(double number) {
    if (!std::isfinite(number)) failEncoding("JSON cannot hold a NaN or infinite number");
    // Beyond 2^53 a double no longer stands for a single integer, and -0 needs its sign: those
    // keep the floating-point form.
    const bool integral = number == std::trunc(number) && std::fabs(number) < twoTo53;
    if (integral && !(number == 0 && std::signbit(number))) {
        return static_cast<std::int64_t>(number);
    }
    return number;
}

struct Writer {
    nlohmann::json operator()(const std::string& text) const { return text; }
    nlohmann::json operator()(double number) const { return writeNumber(number); }
    nlohmann::json operator()(bool flag) const { return flag; }
    nlohmann::json operator()(std::nullptr_t) const { return nullptr; }

    nlohmann::json operator()(const JSONValue::Array& elements) const {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& element : elements) array.push_back(element.toJSON());
        return array;
    }

    nlohmann::json operator()(const JSONValue::Object& members) const {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [name, member] : members) object[name] = member.toJSON();
        return object;
    }
};

void combine(std::size_t& seed, std::size_t hash) noexcept {
    seed ^= hash + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}

struct Hasher {
    std::size_t operator()(const std::string& text) const noexcept {
        return std::hash<std::string>{}(text);
    }
    // 0.0 == -0.0, so both must hash alike.
    std::size_t operator()(double number) const noexcept {
        return std::hash<double>{}(number == 0 ? 0.0 : number);
    }
    std::size_t operator()(bool flag) const noexcept { return flag ? 1 : 0; }
    std::size_t operator()(std::nullptr_t) const noexcept { return 0; }

    std::size_t operator()(const JSONValue::Array& elements) const noexcept {
        std::size_t seed = elements.size();
        for (const auto& element : elements) combine(seed, std::hash<JSONValue>{}(element));
        return seed;
    }
    // A std::map iterates in key order, whatever order the members were read in.
    std::size_t operator()(const JSONValue::Object& members) const noexcept {
        std::size_t seed = members.size();
        for (const auto& [name, member] : members) {
            combine(seed, std::hash<std::string>{}(name));
            combine(seed, std::hash<JSONValue>{}(member));
        }
        return seed;
    }
};

}  // namespace

const std::error_category& decodingCategory() noexcept { return decodingErrors; }
const std::error_category& encodingCategory() noexcept { return encodingErrors; }

std::error_code make_error_code(DecodingError error) noexcept {
    return {static_cast<int>(error), decodingErrors};
}

std::error_code make_error_code(EncodingError error) noexcept {
    return {static_cast<int>(error), encodingErrors};
}

DecodingFailure::DecodingFailure(DecodingError error, std::optional<std::string> key,
                                 std::string description)
    : std::system_error(make_error_code(error), failureMessage(key, description)),
      key_(std::move(key)),
      description_(std::move(description)) {}

JSONValue JSONValue::fromJSON(const nlohmann::json& value) { return readValue(value, 0); }

nlohmann::json JSONValue::toJSON() const { return std::visit(Writer{}, value_); }

namespace json {
namespace {

// Thrown from inside nlohmann's parser to stop it; never leaves parse().
struct NestedTooDeeply {};

bool opensContainer(nlohmann::json::parse_event_t event) {
    return event == nlohmann::json::parse_event_t::object_start ||
           event == nlohmann::json::parse_event_t::array_start;
}

// The member's value; absent and null fail as required members do.
const nlohmann::json& member(const nlohmann::json& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end()) fail(DecodingError::keyNotFound, key, "missing member");
    if (found->is_null()) fail(DecodingError::valueNotFound, key, "member is null");
    return *found;
}

// nullptr for an absent or null member.
const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

const std::string& asString(const nlohmann::json& value, std::string_view key) {
    if (!value.is_string()) fail(DecodingError::typeMismatch, key, "expected a string");
    return value.get_ref<const std::string&>();
}

double asNumber(const nlohmann::json& value, std::string_view key) {
    if (!value.is_number()) fail(DecodingError::typeMismatch, key, "expected a number");
    return value.get<double>();
}

UUID asUUID(const nlohmann::json& value, std::string_view key) {
    const auto uuid = UUID::fromString(asString(value, key));
    if (!uuid) fail(DecodingError::dataCorrupted, key, "invalid UUID");
    return *uuid;
}

// The range is checked on the double, before the conversion that would be undefined outside it.
std::int64_t integralDouble(double number, std::string_view key) {
    if (!std::isfinite(number) || number != std::trunc(number)) {
        fail(DecodingError::dataCorrupted, key, "number not integral");
    }
    if (number < -twoTo63 || number >= twoTo63) {
        fail(DecodingError::dataCorrupted, key, "number out of range");
    }
    return static_cast<std::int64_t>(number);
}

bool isOwnKey(std::string_view name, std::span<const std::string_view> ownKeys) {
    for (std::string_view own : ownKeys) {
        if (name == own) return true;
    }
    return false;
}

}  // namespace

nlohmann::json parse(ByteView text) {
    // The callback sees each container open with the number of containers around it.
    const auto limitDepth = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if (opensContainer(event) && depth >= maxDepth) throw NestedTooDeeply{};
        return true;
    };
    try {
        return nlohmann::json::parse(text.data(), text.data() + text.size(), limitDepth);
    } catch (const NestedTooDeeply&) {
        fail(DecodingError::dataCorrupted, std::nullopt, std::string(json::nestedTooDeeply));
    } catch (const nlohmann::json::exception&) {
        fail(DecodingError::dataCorrupted, std::nullopt, "invalid JSON");
    }
}

nlohmann::json parseObject(ByteView text) {
    nlohmann::json value = parse(text);
    if (!value.is_object()) fail(DecodingError::typeMismatch, std::nullopt, "expected an object");
    return value;
}

Bytes serialize(const nlohmann::json& value) {
    try {
        return toBytes(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
    } catch (const nlohmann::json::exception&) {
        failEncoding("JSON string not valid UTF-8");
    }
}

std::string requiredString(const nlohmann::json& object, std::string_view key) {
    return asString(member(object, key), key);
}

std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    return asString(*value, key);
}

double requiredNumber(const nlohmann::json& object, std::string_view key) {
    return asNumber(member(object, key), key);
}

std::optional<double> optionalNumber(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    return asNumber(*value, key);
}

UUID requiredUUID(const nlohmann::json& object, std::string_view key) {
    return asUUID(member(object, key), key);
}

std::optional<UUID> optionalUUID(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json* value = optionalMember(object, key);
    if (value == nullptr) return std::nullopt;
    return asUUID(*value, key);
}

Date requiredDate(const nlohmann::json& object, std::string_view key) {
    if (auto date = dateFromReferenceSeconds(requiredNumber(object, key))) return *date;
    throw DecodingFailure(DecodingError::dataCorrupted, std::string(key), "date out of range");
}

std::int64_t requiredInt64(const nlohmann::json& object, std::string_view key) {
    const nlohmann::json& value = member(object, key);
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
            fail(DecodingError::dataCorrupted, key, "number out of range");
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    return integralDouble(asNumber(value, key), key);
}

Bytes requiredBase64(const nlohmann::json& object, std::string_view key) {
    auto bytes = base64Decode(requiredString(object, key));
    if (!bytes) fail(DecodingError::dataCorrupted, key, std::string(key) + " not base64");
    return std::move(*bytes);
}

SymmetricKey requiredKey(const nlohmann::json& object, std::string_view key) {
    Bytes bytes = requiredBase64(object, key);
    SymmetricKey symmetricKey(bytes);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return symmetricKey;
}

JSONValue::Object unknownMembers(const nlohmann::json& object,
                                 std::span<const std::string_view> ownKeys) {
    JSONValue::Object members;
    for (const auto& [name, value] : object.items()) {
        if (isOwnKey(name, ownKeys)) continue;
        try {
            members.emplace(name, JSONValue::fromJSON(value));
        } catch (const DecodingFailure& failure) {
            fail(DecodingError::dataCorrupted, name, failure.description());
        }
    }
    return members;
}

void writeUnknownMembers(nlohmann::json& object, const JSONValue::Object& members,
                         std::span<const std::string_view> ownKeys) {
    for (const auto& [name, value] : members) {
        if (!isOwnKey(name, ownKeys)) object[name] = value.toJSON();
    }
}

}  // namespace json
}  // namespace kestrel

std::size_t std::hash<kestrel::JSONValue>::operator()(
    const kestrel::JSONValue& value) const noexcept {
    std::size_t seed = static_cast<std::size_t>(value.kind());
    kestrel::combine(seed, std::visit(kestrel::Hasher{}, value.value_));
    return seed;
}
