#pragma once

// A D-Bus session bus of the test's own, so that what a test does on it (a keyring, a
// notification server) never reaches the user's session.

#include <filesystem>
#include <optional>
#include <string>

#include "support/child_process.hpp"
#include "support/scoped_environment.hpp"

namespace kestrel::testing {

class PrivateSessionBus {
public:
    // With the bus's standard configuration, services are started on demand from their
    // activation files; with serviceActivation false, only what the test starts is there.
    explicit PrivateSessionBus(bool serviceActivation = true);
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const noexcept { return address_; }
    // This process's environment (for child programs) with the bus's address.
    std::vector<std::string> environment() const;
    // Waits until a program owns the name on the bus; false after ten seconds.
    bool waitForName(const std::string& name) const;

private:
    TemporaryDirectory directory_;
    std::optional<ChildProcess> daemon_;
    std::string address_;
    std::optional<ScopedEnvironmentVariable> variable_;
};

}  // namespace kestrel::testing
