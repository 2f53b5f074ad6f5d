#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace kestrel::testing {

Bytes fromHex(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("bad hex digit");
    };
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
    Bytes bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return bytes;
}

std::string toHex(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

nlohmann::json loadTestData(std::string_view fileName) {
    const std::string path = std::string(KESTREL_TEST_DATA_DIR) + "/" + std::string(fileName);
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot open test data " + path);
    return nlohmann::json::parse(file);
}

}  // namespace kestrel::testing
