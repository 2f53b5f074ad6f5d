#pragma once

// Reading the relay's own JSON files (settings, secrets), which anyone with the user's rights
// can edit: they are parsed defensively.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "protocol/bytes.hpp"
#include "protocol/json_value.hpp"

namespace kestrel {

// The deepest nesting of arrays and objects accepted; the top-level object is level 1. Deeper
// documents are refused so that a hostile file cannot exhaust the stack of code that walks,
// prints or destroys the value. The protocol's limit: both are parsed by json::parseObject.
inline constexpr int maxJsonNesting = json::maxDepth;

// `text` as one JSON object nested at most maxJsonNesting levels, or none. When none, `problem`
// (if given) receives a short reason that reads after "the file ...", e.g. "is not valid JSON".
std::optional<nlohmann::json> parseJsonObject(ByteView text, std::string* problem = nullptr);

}  // namespace kestrel
