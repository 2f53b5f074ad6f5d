#pragma once

// Running the real programs from tests: one-shot runs with their output collected, and
// background processes whose standard output is read line by line as it comes. Every child
// gets an explicit environment and no shell; children are told to stop if the test dies.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::testing {

// A new, empty directory under /tmp, removed with everything in it when dropped. /tmp rather
// than $TMPDIR: socket paths inside it must stay well under the 103-byte limit.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

struct ProcessOutput {
    int exitStatus = -1;  // the exit code, or 128 + the signal that ended the process
    std::string standardOutput;
    std::string standardError;
};

// Runs a program (a path, or a name found on PATH) to its end with standard input empty.
ProcessOutput runProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment);
// As runProcess; a non-zero exit throws std::runtime_error with the program's standard error.
ProcessOutput runOrThrow(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment);

// The exit code of a child, or 128 + the signal that ended it.
int waitForExit(pid_t pid);

// Starts a program with standard input empty and standard output and error appended to logFile;
// the caller waits for it. For servers that a test stops itself.
pid_t spawnWithLog(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment,
                   const std::filesystem::path& logFile);

std::string readTextFile(const std::filesystem::path& path);

// A program running in the background. Standard output is a pipe read with readLine; standard
// error goes to a file, read with standardError. The destructor kills a child still running.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output without its line break; none at end of output or when
    // nothing arrived within the timeout.
    std::optional<std::string> readLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string standardError() const;
    void signal(int number) const;
    // Waits for the exit and returns its status (as waitForExit); later calls return it again.
    int wait();
    pid_t pid() const noexcept { return pid_; }

private:
    TemporaryDirectory errorDirectory_;
    int output_ = -1;
    std::string buffered_;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

// The environment with one variable set, replacing any earlier value (a second entry of the
// same name would be ignored by the programs in favour of the first).
std::vector<std::string> withVariable(std::vector<std::string> environment, const std::string& name,
                                      const std::string& value);

// The processor time, user and system, that a process uses over the next `window`, in clock
// ticks (sysconf(_SC_CLK_TCK) per second). Waits out the window.
long processorTicksDuring(pid_t pid, std::chrono::milliseconds window);

// The environment of this test process as KEY=value texts, with `overrides` replacing or adding
// entries. DBUS_SESSION_BUS_ADDRESS and DISPLAY are empty unless overridden, so that programs
// under test stay off the user's desktop session.
std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& overrides);

}  // namespace kestrel::testing
