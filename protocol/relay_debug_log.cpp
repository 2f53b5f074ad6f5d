#include "protocol/relay_debug_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

namespace kestrel::RelayDebugLog {
namespace {

std::optional<std::string> cacheDirectory() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/') {
        return std::string(cache);
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::string(home) + "/.cache";
    }
    return std::nullopt;
}

bool isSinglePathComponent(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string timeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(milliseconds));
    return text;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::mutex& appendLock() {
    // Never destroyed, so a thread appending during static destruction finds it still there.
    static auto* lock = new std::mutex;
    return *lock;
}

}  // namespace

void append(std::string_view entry, std::string_view fileName) noexcept {
    try {
        const std::optional<std::string> directory = cacheDirectory();
        if (!directory || !isSinglePathComponent(fileName)) return;
        std::string line = timeStamp();
        line += ' ';
        line += entry;
        line += '\n';
        const std::string path = *directory + "/" + std::string(fileName);

        const std::lock_guard<std::mutex> guard(appendLock());
        ::mkdir(directory->c_str(), 0700);
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return;
        writeAll(fd, line);
        ::close(fd);
    } catch (...) {
        // Out of memory while building the line: the entry is lost, as any other failure.
    }
}

}  // namespace kestrel::RelayDebugLog
