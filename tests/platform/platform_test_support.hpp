#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrel::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its content at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const noexcept { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (or, given none, unsets) an environment variable for the scope of a test.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Sets the process umask for the scope of a test.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t previous_;
};

// Permission bits of the path itself (not of a link's target); fails the test if it is absent.
mode_t modeOf(const std::string& path);
bool exists(const std::string& path);

void writeText(const std::string& path, const std::string& text);
// Fails the test when the file cannot be read.
std::string readText(const std::string& path);

// Names in a directory, sorted, without "." and "..".
std::vector<std::string> entriesOf(const std::string& directory);

// Text of `levels` nested JSON arrays inside an object member: {"k":[[...]]} has levels + 1
// levels in all.
std::string nestedArrays(std::size_t levels);

}  // namespace kestrel::testing
