// JSONValue, which keeps the members a record does not know: parse, hold, write, parse again
// must give an equal value, and writing is stable. A parsed value always fits a JSONValue;
// writing may fail only for what JSON cannot hold (checked here independently).
#include <unicode/utf8.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"
#include "protocol/json_value.hpp"

namespace {

using namespace kestrel;

bool isUTF8(const std::string& text) {
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t offset = 0; offset < length;) {
        UChar32 codePoint = 0;
        U8_NEXT(text.data(), offset, length, codePoint);
        if (codePoint < 0) return false;
    }
    return true;
}

// Whether JSON can express the value: finite numbers and UTF-8 text (member names included).
bool isWritable(const JSONValue& value) {
    if (const double* number = value.asNumber()) return std::isfinite(*number);
    if (const std::string* text = value.asString()) return isUTF8(*text);
    if (const JSONValue::Array* elements = value.asArray()) {
        for (const JSONValue& element : *elements) {
            if (!isWritable(element)) return false;
        }
    }
    if (const JSONValue::Object* members = value.asObject()) {
        for (const auto& [name, member] : *members) {
            if (!isUTF8(name) || !isWritable(member)) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nlohmann::json parsed;
    try {
        parsed = json::parse(ByteView(data, size));
    } catch (const DecodingFailure&) {
        return 0;
    }
    const JSONValue value = JSONValue::fromJSON(parsed);
    Bytes written;
    try {
        written = json::serialize(value.toJSON());
    } catch (const std::system_error& error) {
        if (error.code() != EncodingError::invalidValue) throw;
        fuzz::require(!isWritable(value), "writing failed for a value JSON can hold");
        return 0;
    }
    const JSONValue again = JSONValue::fromJSON(json::parse(written));
    fuzz::require(again == value, "value does not read back equal");
    fuzz::require(std::hash<JSONValue>{}(again) == std::hash<JSONValue>{}(value),
                  "equal values hash differently");
    fuzz::require(json::serialize(again.toJSON()) == written, "writing again changes the bytes");
    return 0;
}
