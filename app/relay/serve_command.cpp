#include "app/relay/serve_command.hpp"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <iostream>
#include <memory>

#include "app/relay/relay_runtime.hpp"
#include "app/relay/serve_log.hpp"
#include "platform/systemd_user_unit.hpp"

namespace kestrel::cli {
namespace {

int serve(const ServeOptions& options) {
    RelayRuntime::prepareProcess();

    asio::io_context io;
    ServeLog log(io.get_executor(), options.json);
    // Until the tray app starts with the desktop, launching at login is the headless relay's
    // own systemd user unit.
    RelayRuntime runtime(io.get_executor(), options.runtime,
                         {nullptr, std::make_unique<SystemdUserUnitLoginItem>(
                                       RelayRuntime::ownExecutable("kestrel-relay"))});
    runtime.controller().addObserver([&log](const RelayEvent& event) { log.event(event); });
    runtime.start();
    log.started(runtime);  // first: scripts read the port from the first JSON line
    for (const std::string& note : runtime.notes()) log.note(note);
    for (const std::string& warning : runtime.warnings()) log.warning(warning);
    if (!options.json)
        std::cout << "To pair a device, run `kestrel-relay pair` in another terminal." << std::endl;

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](std::error_code, int signal) {
        runtime.stop();
        log.stopped(signal == SIGINT ? "interrupted" : "SIGTERM");
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
