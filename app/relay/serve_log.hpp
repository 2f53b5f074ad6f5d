#pragma once

// The log of `kestrel-relay serve`: one line per event on standard error, each with the local
// time, so that a relay left running says afterwards what happened to it; under systemd the
// lines go to the journal as they are. With --json the same events go to standard output as
// JSON lines, the first of them the start.
//
// Refusals come from the network, where anyone can make thousands a second: the first few of
// each kind in a minute are written whole, the rest counted and summed up when the minute ends.

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>

#include "relay/relay_controller.hpp"

namespace kestrel {
class RelayRuntime;
}

namespace kestrel::cli {

class ServeLog {
public:
    static constexpr int refusalsWrittenPerMinute = 5;

    ServeLog(asio::any_io_executor executor, bool json);

    void started(RelayRuntime& runtime);
    void note(const std::string& text);
    void warning(const std::string& text);
    void event(const RelayEvent& event);
    // Writes the counts still held back, then the last line.
    void stopped(const std::string& why);

private:
    enum class Refusal { connection, request };
    struct RefusalWindow {
        int written = 0;
        int heldBack = 0;
        std::set<std::string> sources;  // addresses or device names held back
    };

    void write(const std::string& kind, nlohmann::json fields, const std::string& line);
    void refused(Refusal kind, const std::string& source, nlohmann::json fields,
                 const std::string& line);
    void summarize();

    bool json_;
    asio::steady_timer minute_;
    bool minuteRunning_ = false;
    std::map<Refusal, RefusalWindow> refusals_;
};

}  // namespace kestrel::cli
