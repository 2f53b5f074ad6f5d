#pragma once

// Process-wide state that a test changes and must put back: environment variables and the
// working directory. Both belong to the whole process, so tests that use these run one at a time
// (as gtest runs them) and must not leave threads reading them behind.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrel::testing {

// Sets an environment variable (or unsets it, for none) and restores the old state when dropped.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char* name, const std::optional<std::string>& value)
        : name_(name), saved_(read(name)) {
        write(name_, value);
    }
    ~ScopedEnvironmentVariable() { write(name_, saved_); }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

    void set(const std::optional<std::string>& value) const { write(name_, value); }

private:
    static std::optional<std::string> read(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void write(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    const char* name_;
    std::optional<std::string> saved_;
};

// Makes directory the working directory and goes back when dropped.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::filesystem::path& directory)
        : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(directory);
    }
    ~ScopedWorkingDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::filesystem::path saved_;
};

}  // namespace kestrel::testing
