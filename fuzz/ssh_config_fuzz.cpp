// identityAgentFromConfig over any text: never crashes, expands every "~/" value, and lets
// $SSH_AUTH_SOCK decide only the values that name it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "relay/ssh_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string_view text = fuzz::asText(ByteView(data, size));
    const std::string agentSocket = "/tmp/agent.sock";
    const auto path = identityAgentFromConfig(text, "/home/u", agentSocket);
    if (path) {
        fuzz::require(!path->starts_with("~/"), "a \"~/\" value was not expanded");
        fuzz::require(!path->empty(), "an empty path from a non-empty variable and home");
        fuzz::require(path->find_first_of("\n\r\v\f") == std::string::npos,
                      "a path spans a line break");
    }
    const auto withoutVariable = identityAgentFromConfig(text, "/home/u", std::nullopt);
    fuzz::require(withoutVariable == path || (path == agentSocket && !withoutVariable),
                  "$SSH_AUTH_SOCK changed a value that does not name it");
    return 0;
}
