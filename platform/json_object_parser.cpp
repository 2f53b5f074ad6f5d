#include "platform/json_object_parser.hpp"

#include <utility>

namespace kestrel {
namespace {

struct NestedTooDeeply {};

// nlohmann calls this for every token; `depth` counts the containers already open, so a
// container starting at depth d is level d + 1. Throwing ends the parse at once.
bool refuseDeepNesting(int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                       event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth >= maxJsonNesting) throw NestedTooDeeply{};
    return true;
}

std::optional<nlohmann::json> refuse(std::string* problem, std::string reason) {
    if (problem != nullptr) *problem = std::move(reason);
    return std::nullopt;
}

}  // namespace

std::optional<nlohmann::json> parseJsonObject(ByteView text, std::string* problem) {
    nlohmann::json value;
    try {
        value = nlohmann::json::parse(text.begin(), text.end(), refuseDeepNesting);
    } catch (const NestedTooDeeply&) {
        return refuse(problem,
                      "is nested more than " + std::to_string(maxJsonNesting) + " levels deep");
    } catch (const nlohmann::json::exception&) {
        return refuse(problem, "is not valid JSON");
    }
    if (!value.is_object()) return refuse(problem, "does not hold a JSON object");
    return value;
}

}  // namespace kestrel
