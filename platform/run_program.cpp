#include "platform/run_program.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/unique_fd.hpp"

namespace kestrel {

std::optional<ProgramOutput> runProgram(const std::vector<std::string>& arguments,
                                        std::size_t outputLimit) {
    if (arguments.empty()) return std::nullopt;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
    const detail::UniqueFd readEnd(pipe[0]);
    detail::UniqueFd writeEnd(pipe[1]);
    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd = detail::UniqueFd();
    if (spawned != 0) return std::nullopt;
    ProgramOutput result;
    char buffer[512];
    for (;;) {
        const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
        if (count > 0) {
            const auto room = outputLimit - std::min(outputLimit, result.standardOutput.size());
            result.standardOutput.append(buffer, std::min(room, static_cast<std::size_t>(count)));
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

}  // namespace kestrel
