#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "protocol/bytes.hpp"

namespace kestrel::testing {

// Hex text (either case, no separators) to bytes; a malformed text fails the current test.
Bytes fromHex(std::string_view hex);
std::string toHex(ByteView bytes);

// A JSON file from tests/data, read when the test runs.
nlohmann::json loadTestData(std::string_view fileName);

}  // namespace kestrel::testing
