#include "app/relay/serve_command.hpp"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <iostream>
#include <memory>

#include "app/relay/control_protocol.hpp"
#include "app/relay/relay_runtime.hpp"
#include "platform/systemd_user_unit.hpp"
#include "relay/agent_forwarder.hpp"

namespace kestrel::cli {
namespace {

// The agent socket in use and where it was found.
std::string agentLine(const RelayController& controller, const std::optional<std::string>& path) {
    if (!path)
        return "none found (start an agent, or: kestrel-relay config set socket-override PATH)";
    for (const AgentSocketCandidate& candidate :
         AgentForwarder::socketCandidates(controller.customSocketPath())) {
        if (candidate.path == *path) return candidate.path + " (" + candidate.label + ")";
    }
    return *path;
}

void printStarted(const RelayRuntime& runtime, bool json) {
    const RelayController& controller = runtime.controller();
    const std::optional<std::string> path = runtime.agentSocket();
    if (json) {
        std::cout << nlohmann::json{{"port", *controller.port()},
                                    {"relayName", controller.relayName()},
                                    {"agentSocket",
                                     path ? nlohmann::json(*path) : nlohmann::json(nullptr)},
                                    {"controlSocket", control::socketPath()}}
                         .dump()
                  << std::endl;
        return;
    }
    std::cout << "Kestrel relay \"" << controller.relayName() << "\" listening on port "
              << *controller.port() << "; agent socket: " << agentLine(controller, path) << "\n"
              << "To pair a device, run `kestrel-relay pair` in another terminal." << std::endl;
}

// Pairings and suspicions go to the log as they happen: the user may not be watching `pair`.
void logEvent(const RelayEvent& event) {
    if (const auto* ended = std::get_if<PairingEnded>(&event)) {
        if (ended->result != PairingResult::paired || !ended->device) return;
        const DeviceMetadata& device = *ended->device;
        std::cerr << "kestrel-relay: paired \u201C" << device.displayName << "\u201D ("
                  << device.deviceID.uuidString() << ")"
                  << (device.held ? "; HELD until approved (kestrel-relay approve ID)" : "")
                  << std::endl;
        for (const PairingEvidence& evidence : device.evidence)
            std::cerr << "kestrel-relay:   " << evidence.description(device.displayName)
                      << std::endl;
    } else if (const auto* suspicion = std::get_if<PairingSuspicion>(&event)) {
        std::cerr << "kestrel-relay: warning: "
                  << suspicion->evidence.description(suspicion->device.displayName)
                  << (suspicion->held ? "; it is HELD until approved" : "") << std::endl;
    }
}

int serve(const ServeOptions& options) {
    RelayRuntime::prepareProcess();

    asio::io_context io;
    // Until the tray app starts with the desktop, launching at login is the headless relay's
    // own systemd user unit.
    RelayRuntime runtime(io.get_executor(), options.runtime,
                         {nullptr, std::make_unique<SystemdUserUnitLoginItem>(
                                       RelayRuntime::ownExecutable("kestrel-relay"))});
    for (const std::string& note : runtime.notes())
        std::cerr << "kestrel-relay: " << note << std::endl;
    RelayController& controller = runtime.controller();
    controller.addObserver([](const RelayEvent& event) {
        if (const auto* failure = std::get_if<AgentFailure>(&event))
            std::cerr << "kestrel-relay: " << agentFailureLine(*failure) << std::endl;
    });
    runtime.start();
    controller.addObserver(logEvent);

    printStarted(runtime, options.json);
    for (const std::string& warning : runtime.warnings())
        std::cerr << "kestrel-relay: warning: " << warning << std::endl;

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](std::error_code, int) {
        runtime.stop();
        io.stop();
    });
    // Agent exchanges still in flight end with the io_context: their sockets are closed and
    // their devices, already disconnected, get no reply.
    io.run();
    return 0;
}

}  // namespace

const std::vector<OptionSpec> runtimeOptionSpecs = {
    {"port", true}, {"name", true}, {"secret-store", true}};

RelayRuntimeOptions runtimeOptions(const Arguments& arguments) {
    RelayRuntimeOptions options;
    if (const auto port = arguments.integer("port", 0, 65535))
        options.port = static_cast<std::uint16_t>(*port);
    options.name = arguments.value("name");
    if (options.name && options.name->empty()) throw UsageError("--name must not be empty");
    options.secretStore = arguments.value("secret-store").value_or("auto");
    if (options.secretStore != "auto" && options.secretStore != "file" &&
        options.secretStore != "secret-service") {
        throw UsageError("--secret-store must be auto, file or secret-service, not \"" +
                         options.secretStore + "\"");
    }
    return options;
}

int runServe(const ServeOptions& options) {
    try {
        return serve(options);
    } catch (const RelayStartFailure& failure) {
        std::cerr << "kestrel-relay: " << failure.what() << std::endl;
    } catch (const std::system_error& error) {
        std::cerr << "kestrel-relay: " << error.what() << std::endl;
    }
    return 1;
}

}  // namespace kestrel::cli
