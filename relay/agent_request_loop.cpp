// A paired device's requests: only list-keys and sign reach the agent, one at a time per
// connection, and a sign request puts the notice up first.

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include "protocol/relay_envelope.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/agent_forwarder.hpp"
#include "relay/relay_listener.hpp"
#include "relay/relay_session.hpp"

namespace kestrel {
namespace {

// One agent exchange, run on a worker thread. A free coroutine taking its inputs by value: it
// shares nothing with the relay thread.
asio::awaitable<Bytes> exchangeWithAgent(Bytes request, std::optional<std::string> customPath) {
    try {
        const auto path = AgentForwarder::resolveSocketPath(customPath);
        if (!path) co_return SSHAgentProtocol::encodeFailure();
        co_return AgentForwarder::forward(request, *path, RelayListener::agentTimeoutSeconds);
    } catch (const std::exception&) {
        co_return SSHAgentProtocol::encodeFailure();
    }
}

}  // namespace

asio::awaitable<void> RelayListener::serve(RelayConnectionIO& io, SecureChannel& channel,
                                           const UUID& deviceID, const std::string& deviceName) {
    for (;;) {
        const RelayEnvelope request =
            RelayEnvelope::deserialize(channel.open(co_await io.receive()));
        if (request.type != RelayMessageType::agentRequest) co_return;
        // A held device pairs and connects like any other, but nothing of it reaches the agent
        // until the user approves it; asked again for every request, so approval takes effect
        // at once.
        // (An if, not a conditional expression: GCC 12 frees the result of a co_await inside
        // one too early.)
        Bytes reply = SSHAgentProtocol::encodeFailure();
        if (!store_.isHeld(deviceID))
            reply = co_await handleAgentRequest(request.payload, deviceName);
        const RelayEnvelope response(RelayMessageType::agentResponse, std::move(reply), 1);
        co_await io.send(channel.seal(response.serialized()));
    }
}

asio::awaitable<Bytes> RelayListener::handleAgentRequest(Bytes payload, std::string deviceName) {
    const auto message = SSHAgentProtocol::deframe(payload);
    if (!message) co_return SSHAgentProtocol::encodeFailure();
    SSHAgentMessageType type;
    try {
        type = SSHAgentProtocol::messageType(message->body);
    } catch (const std::system_error&) {
        co_return SSHAgentProtocol::encodeFailure();
    }
    if (!SSHAgentProtocol::isForwardable(type)) co_return SSHAgentProtocol::encodeFailure();

    // Only the first message goes to the agent: bytes after it could smuggle any other agent
    // request (remove all keys, lock, add a provider) past the check above.
    payload.resize(message->consumed);
    if (type != SSHAgentMessageType::signRequest)
        co_return co_await forwardToAgent(std::move(payload));

    approvalWindow_.show(deviceName);
    co_await sleepFor(noticeLeadTime);
    Bytes reply = co_await forwardToAgent(std::move(payload));
    approvalWindow_.hide();
    co_return reply;
}

asio::awaitable<Bytes> RelayListener::forwardToAgent(Bytes request) {
    // Asked on the relay thread; the worker gets copies and touches nothing shared.
    std::optional<std::string> customPath = socketOverride_ ? socketOverride_() : std::nullopt;
    ++agentExchangesInFlight_;
    Bytes reply = co_await asio::co_spawn(
        workerExecutor_, exchangeWithAgent(std::move(request), std::move(customPath)),
        asio::use_awaitable);
    --agentExchangesInFlight_;
    co_return reply;
}

}  // namespace kestrel
