#pragma once

// Runs a coroutine on an io_context on the calling thread until both end, and hands back its
// result or rethrows its exception on this thread. (asio::use_future would complete the future
// on Asio's own thread pool, and ThreadSanitizer then sees the test thread race with it over the
// exception object.)

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace kestrel::testing {

template <typename T>
T runToEnd(asio::io_context& io, asio::awaitable<T> task) {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
    std::exception_ptr failure;
    if constexpr (std::is_void_v<T>) {
        asio::co_spawn(io, std::move(task), [&](std::exception_ptr error) {
            failure = error;
            result.emplace(true);
        });
    } else {
        asio::co_spawn(io, std::move(task), [&](std::exception_ptr error, T value) {
            failure = error;
            if (!error) result.emplace(std::move(value));
        });
    }
    io.restart();
    io.run();
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace kestrel::testing
