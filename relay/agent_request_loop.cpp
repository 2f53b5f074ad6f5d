// A paired device's requests: only list-keys and sign reach the agent, one at a time per
// connection, and a sign request puts the notice up first.

#include <map>
#include <optional>
#include <string_view>

#include "protocol/relay_envelope.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/agent_forwarder.hpp"
#include "relay/relay_listener.hpp"
#include "relay/relay_session.hpp"

namespace kestrel {
namespace {

// Why a request type does not go to the agent, in words for the log (the numbers are OpenSSH's).
std::string describeRefusedRequest(std::uint8_t type) {
    static const std::map<std::uint8_t, std::string_view> names = {
        {1, "list protocol 1 keys"},
        {7, "add a protocol 1 key"},
        {8, "remove a protocol 1 key"},
        {9, "remove all protocol 1 keys"},
        {17, "add a key"},
        {18, "remove a key"},
        {19, "remove all keys"},
        {20, "add a smartcard key"},
        {21, "remove a smartcard key"},
        {22, "lock the agent"},
        {23, "unlock the agent"},
        {25, "add a constrained key"},
        {26, "add a constrained smartcard key"},
        {27, "an extension"},
    };
    const auto name = names.find(type);
    return "request type " + std::to_string(type) +
           (name != names.end() ? " (" + std::string(name->second) + ")" : std::string()) +
           " is not relayed";
}

// The reply of the agent, or one line saying why there is none.
struct ExchangeResult {
    std::optional<Bytes> reply;
    std::string failure;
};

std::string failureReason(const AgentForwarderFailure& failure,
                          std::chrono::steady_clock::duration timeLimit) {
    if (failure.error() != AgentForwarderError::timedOut) {
        std::string reason = failure.code().message();
        if (failure.errnoValue() != 0)
            reason += ": " + std::generic_category().message(failure.errnoValue());
        return reason;
    }
    const auto seconds = std::chrono::duration<double>(timeLimit).count();
    std::string limit = std::to_string(seconds);
    limit.erase(limit.find_last_not_of('0') + 1);
    if (limit.back() == '.') limit.pop_back();
    return "the SSH agent did not answer within " + limit + " s";
}

// Says which candidates were passed over, since the user may believe one of them is in use.
std::string noAgentReason(const std::optional<std::string>& customPath) {
    std::string reason = "no SSH agent socket found";
    for (const AgentSocketCandidate& candidate : AgentForwarder::socketCandidates(customPath)) {
        if (const auto skipped = AgentForwarder::skipReason(candidate.path)) {
            reason += "; " + candidate.label + " \"" + candidate.path + "\" skipped: " + *skipped;
        }
    }
    return reason + " (see kestrel-relay agent)";
}

// One exchange, with its failure as a line of text rather than an exception.
asio::awaitable<ExchangeResult> exchangeWithAgent(Bytes request, std::string path,
                                                  std::chrono::steady_clock::duration timeLimit,
                                                  asio::cancellation_slot cancellation) {
    // Filled in place and returned once at the end: GCC 12 miscompiles a co_await inside an
    // initializer, and a co_return inside a handler.
    ExchangeResult result;
    try {
        Bytes reply = co_await AgentForwarder::forward(std::move(request), std::move(path),
                                                       timeLimit, cancellation);
        result.reply = std::move(reply);
    } catch (const AgentForwarderFailure& failure) {
        result.failure = failureReason(failure, timeLimit);
    } catch (const std::exception& error) {
        result.failure = error.what();
    }
    co_return result;
}

// A request from this machine that arrives while the very same one waits for the agent at the
// same socket has come back through that socket: the agent there passes requests to this relay.
// kestrel-agent is recognised by its process when it connects (see AgentForwarder::forward),
// except one that forked into the background after binding its socket; this catches that one.
// A socket whose listening process is alive and is not kestrel-agent cannot loop, so two local
// clients asking the same of a slow agent are not taken for a loop.
bool comesBackThrough(const AgentExchanges& exchanges, ByteView request, const std::string& path) {
    if (exchanges.carrying(request, path) == nullptr) return false;
    const std::optional<std::string> program = AgentForwarder::listeningProgram(path);
    return !program || *program == AgentForwarder::relayClientProgram;
}

}  // namespace

// Callers pass origin as a named object, never a braced temporary: GCC 12 frees the strings
// of a braced temporary argument of a coroutine twice.
asio::awaitable<void> RelayListener::serve(RelayConnectionIO& io, SecureChannel& channel,
                                           RequestOrigin origin) {
    for (;;) {
        const RelayEnvelope request =
            RelayEnvelope::deserialize(channel.open(co_await io.receive()));
        if (request.type != RelayMessageType::agentRequest) co_return;
        // A held device pairs and connects like any other, but nothing of it reaches the agent
        // until the user approves it; asked again for every request, so approval takes effect
        // at once. (An if, not a conditional expression: GCC 12 frees the result of a co_await
        // inside one too early.)
        Bytes reply = SSHAgentProtocol::encodeFailure();
        if (!origin.deviceID || !store_.isHeld(*origin.deviceID))
            reply = co_await handleAgentRequest(request.payload, origin);
        else if (delegate_ != nullptr)
            delegate_->requestRefused(origin.deviceName, "the device is held until approved");
        const RelayEnvelope response(RelayMessageType::agentResponse, std::move(reply), 1);
        co_await io.send(channel.seal(response.serialized()));
    }
}

asio::awaitable<Bytes> RelayListener::handleAgentRequest(Bytes payload, RequestOrigin origin) {
    const auto message = SSHAgentProtocol::deframe(payload);
    const auto refuse = [&](const std::string& reason) {
        if (delegate_ != nullptr) delegate_->requestRefused(origin.deviceName, reason);
        return SSHAgentProtocol::encodeFailure();
    };
    if (!message || message->body.empty()) co_return refuse("not an agent message");
    std::optional<SSHAgentMessageType> type;
    try {
        type = SSHAgentProtocol::messageType(message->body);
    } catch (const std::system_error&) {
    }
    if (!type || !SSHAgentProtocol::isForwardable(*type))
        co_return refuse(describeRefusedRequest(message->body.front()));

    // Only the first message goes to the agent: bytes after it could smuggle any other agent
    // request (remove all keys, lock, add a provider) past the check above.
    payload.resize(message->consumed);

    // Read and resolved when the request arrives: the notice's delay must not let a change made
    // meanwhile send a request that was shown for one agent to another.
    const std::optional<std::string> customPath =
        socketOverride_ ? socketOverride_() : std::nullopt;
    std::optional<std::string> path = AgentForwarder::resolveSocketPath(customPath);
    // Answered at once, before any notice: a loop would otherwise open connection after
    // connection until the time limit.
    if (path && origin.fromThisHost && comesBackThrough(*agentExchanges_, payload, *path)) {
        reportAgentFailure(origin, path,
                           "the request came back to this relay while it waited for the agent at "
                           "that socket, which passes requests back here (a loop)");
        co_return SSHAgentProtocol::encodeFailure();
    }
    if (type != SSHAgentMessageType::signRequest) {
        co_return co_await forwardToAgent(std::move(payload), std::move(path), customPath, origin);
    }
    const RelayApprovalWindow::Hold notice = approvalWindow_->hold(origin.deviceName);
    co_await sleepFor(noticeLeadTime);
    co_return co_await forwardToAgent(std::move(payload), std::move(path), customPath, origin);
}

asio::awaitable<Bytes> RelayListener::forwardToAgent(Bytes request, std::optional<std::string> path,
                                                     const std::optional<std::string>& customPath,
                                                     const RequestOrigin& origin) {
    if (!path) {
        reportAgentFailure(origin, std::nullopt, noAgentReason(customPath));
        co_return SSHAgentProtocol::encodeFailure();
    }
    const AgentExchanges::Registration exchange =
        agentExchanges_->add(request, *path, origin.deviceID);
    ExchangeResult result = co_await exchangeWithAgent(
        std::move(request), *path, deadlines_.agentExchange, exchange.cancellationSlot());
    // Cancelled: the relay is stopping or the device was revoked, and nobody waits for a reply.
    if (exchange.cancelled()) co_return SSHAgentProtocol::encodeFailure();
    if (result.reply) co_return std::move(*result.reply);
    reportAgentFailure(origin, *path, std::move(result.failure));
    co_return SSHAgentProtocol::encodeFailure();
}

void RelayListener::reportAgentFailure(const RequestOrigin& origin,
                                       std::optional<std::string> socketPath, std::string reason) {
    if (!agentFailureHandler_) return;
    agentFailureHandler_(AgentFailure{origin.deviceName, std::move(socketPath), std::move(reason),
                                      std::chrono::system_clock::now()});
}

}  // namespace kestrel
