#include "app/relay/control_protocol.hpp"

#include <ctime>

#include "platform/paths.hpp"

namespace kestrel::control {

std::string socketDirectory() { return runtimeDirectory(); }

std::string socketPath() { return socketDirectory() + "/control.sock"; }

std::string lockPath() { return socketDirectory() + "/relay.lock"; }

}  // namespace kestrel::control
