#include "platform/json_object_parser.hpp"

namespace kestrel {
namespace {

std::string reasonFor(const DecodingFailure& failure) {
    if (failure.code() == DecodingError::typeMismatch) return "does not hold a JSON object";
    if (failure.description() == json::nestedTooDeeply) {
        return "is nested more than " + std::to_string(maxJsonNesting) + " levels deep";
    }
    return "is not valid JSON";
}

}  // namespace

std::optional<nlohmann::json> parseJsonObject(ByteView text, std::string* problem) {
    try {
        return json::parseObject(text);
    } catch (const DecodingFailure& failure) {
        if (problem != nullptr) *problem = reasonFor(failure);
        return std::nullopt;
    }
}

}  // namespace kestrel
