#pragma once

#include <gtest/gtest.h>

#include <system_error>

namespace kestrel::testing {

// Runs `call` and returns the code of the std::system_error it throws; fails the current test
// when it throws nothing.
template <typename Call>
std::error_code errorOf(Call call) {
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code();
    }
    ADD_FAILURE() << "no error was thrown";
    return {};
}

}  // namespace kestrel::testing
