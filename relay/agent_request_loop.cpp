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
#include "relay/sign_purpose.hpp"

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

// Whether an agent's reply is its failure message.
bool isFailureReply(ByteView reply) {
    return reply.size() == 5 && reply[4] == static_cast<std::uint8_t>(SSHAgentMessageType::failure);
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
        Bytes reply = co_await handleAgentRequest(request.payload, origin);
        const RelayEnvelope response(RelayMessageType::agentResponse, std::move(reply), 1);
        co_await io.send(channel.seal(response.serialized()));
    }
}

asio::awaitable<Bytes> RelayListener::handleAgentRequest(Bytes payload, RequestOrigin origin) {
    ActivityEntry activity;
    activity.requestID = ++requestCount_;
    activity.at = std::chrono::system_clock::now();
    activity.deviceName = origin.deviceName;
    activity.deviceID = origin.deviceID;
    Bytes reply = co_await answer(std::move(payload), origin, activity);
    if (delegate_ != nullptr) delegate_->requestHandled(activity);
    co_return reply;
}

asio::awaitable<Bytes> RelayListener::answer(Bytes payload, const RequestOrigin& origin,
                                             ActivityEntry& activity) {
    const auto refuse = [&](const std::string& reason) {
        activity.result = ActivityResult::refused;
        activity.reason = reason;
        if (delegate_ != nullptr) delegate_->requestRefused(origin.deviceName, reason);
        return SSHAgentProtocol::encodeFailure();
    };
    const auto message = SSHAgentProtocol::deframe(payload);
    std::optional<SSHAgentMessageType> type;
    try {
        if (message) type = SSHAgentProtocol::messageType(message->body);
    } catch (const std::system_error&) {
    }
    const bool forwardable = type && SSHAgentProtocol::isForwardable(*type);
    const bool sign = type == SSHAgentMessageType::signRequest;
    if (forwardable) activity.kind = sign ? ActivityKind::sign : ActivityKind::listKeys;
    // A held device pairs and connects like any other, but nothing of it reaches the agent
    // until the user approves it; asked again for every request, so approval takes effect at
    // once.
    if (origin.deviceID && store_.isHeld(*origin.deviceID))
        co_return refuse("the device is held until approved");
    if (!message || message->body.empty()) co_return refuse("not an agent message");
    if (!forwardable) co_return refuse(describeRefusedRequest(message->body.front()));

    // Only the first message goes to the agent: bytes after it could smuggle any other agent
    // request (remove all keys, lock, add a provider) past the check above.
    payload.resize(message->consumed);

    const DeviceSettings settings =
        origin.deviceID ? store_.settings(*origin.deviceID) : DeviceSettings{};
    if (sign) {
        // The key checked below must be the key the agent signs with: a request this cannot read
        // is not passed on for the agent to read its own way.
        SSHAgentProtocol::SignRequest request;
        try {
            request = SSHAgentProtocol::decodeSignRequest(message->body);
        } catch (const std::system_error&) {
            co_return refuse("a sign request that cannot be read");
        }
        activity.keyFingerprint = keyFingerprint(request.keyBlob);
        if (const auto comment = keyComments_.find(toText(request.keyBlob));
            comment != keyComments_.end())
            activity.keyComment = comment->second;
        activity.purpose = signPurpose(request.keyBlob, request.data);
        if (!settings.mayUse(activity.keyFingerprint)) {
            co_return refuse("the key " +
                             describeKey(activity.keyFingerprint, activity.keyComment) +
                             " is not one this device may use");
        }
    }

    // Read and resolved when the request arrives: the wait for the user, and the notice's
    // delay, must not let a change made meanwhile send a request that was shown for one agent
    // to another.
    const std::optional<std::string> customPath =
        socketOverride_ ? socketOverride_() : std::nullopt;
    std::optional<std::string> path = AgentForwarder::resolveSocketPath(customPath);
    // Answered at once, before any notice: a loop would otherwise open connection after
    // connection until the time limit.
    if (path && origin.fromThisHost && comesBackThrough(*agentExchanges_, payload, *path)) {
        reportAgentFailure(origin, activity, path,
                           "the request came back to this relay while it waited for the agent at "
                           "that socket, which passes requests back here (a loop)");
        co_return SSHAgentProtocol::encodeFailure();
    }
    if (!sign) {
        Bytes reply = co_await forwardToAgent(std::move(payload), std::move(path), customPath,
                                              origin, activity);
        co_return readIdentities(std::move(reply), settings, activity);
    }
    const std::string detail = activity.detail();
    if (settings.approval == DeviceSettings::Approval::ask && origin.deviceID &&
        !signApprovals_->allowedWithoutAsking(*origin.deviceID, activity.keyFingerprint)) {
        if (signApprovals_->waitingFor(*origin.deviceID) >= SignApprovals::maxWaitingPerDevice) {
            co_return refuse("already " + std::to_string(SignApprovals::maxWaitingPerDevice) +
                             " of its sign requests wait for you");
        }
        SignApprovals::Request question{
            activity.requestID,      *origin.deviceID, origin.deviceName,
            activity.keyFingerprint, detail,           activity.at};
        if (delegate_ != nullptr) delegate_->approvalRequested(question);
        const std::optional<ApprovalDecision> decision =
            co_await signApprovals_->ask(std::move(question), deadlines_.approval);
        if (!decision || *decision == ApprovalDecision::deny) {
            activity.result = ActivityResult::denied;
            activity.reason = decision ? "by the user" : "nobody allowed it in time";
            co_return SSHAgentProtocol::encodeFailure();
        }
    }
    const RelayApprovalWindow::Hold notice = approvalWindow_->hold(origin.deviceName, detail);
    co_await sleepFor(noticeLeadTime);
    Bytes reply =
        co_await forwardToAgent(std::move(payload), std::move(path), customPath, origin, activity);
    if (activity.result == ActivityResult::answered && isFailureReply(reply))
        activity.reason = "the agent refused to sign";
    co_return reply;
}

Bytes RelayListener::readIdentities(Bytes reply, const DeviceSettings& settings,
                                    ActivityEntry& activity) {
    if (activity.result != ActivityResult::answered) return reply;
    const auto message = SSHAgentProtocol::deframe(reply);
    if (!message || message->body.empty() ||
        message->body.front() != static_cast<std::uint8_t>(SSHAgentMessageType::identitiesAnswer))
        return reply;
    std::vector<SSHAgentIdentity> identities;
    try {
        identities = SSHAgentProtocol::decodeIdentitiesAnswer(message->body);
    } catch (const std::system_error&) {
        if (!settings.allowedKeys) return reply;
        // What cannot be read cannot be narrowed down to the keys the device may see.
        activity.result = ActivityResult::agentFailure;
        activity.reason = "the agent's list of keys cannot be read";
        return SSHAgentProtocol::encodeFailure();
    }
    // The comments name keys in the notice and the activity; the agent lists every key before
    // a client signs with it. Bounded, should an agent list keys without end.
    if (keyComments_.size() > 4 * SSHAgentProtocol::maxIdentities) keyComments_.clear();
    for (const SSHAgentIdentity& identity : identities)
        keyComments_[toText(identity.keyBlob)] = identity.comment;
    if (!settings.allowedKeys) return reply;
    std::erase_if(identities, [&](const SSHAgentIdentity& identity) {
        return !settings.mayUse(keyFingerprint(identity.keyBlob));
    });
    return SSHAgentProtocol::encodeIdentitiesAnswer(identities);
}

asio::awaitable<Bytes> RelayListener::forwardToAgent(Bytes request, std::optional<std::string> path,
                                                     const std::optional<std::string>& customPath,
                                                     const RequestOrigin& origin,
                                                     ActivityEntry& activity) {
    if (!path) {
        reportAgentFailure(origin, activity, std::nullopt, noAgentReason(customPath));
        co_return SSHAgentProtocol::encodeFailure();
    }
    const AgentExchanges::Registration exchange =
        agentExchanges_->add(request, *path, origin.deviceID);
    ExchangeResult result = co_await exchangeWithAgent(
        std::move(request), *path, deadlines_.agentExchange, exchange.cancellationSlot());
    // Cancelled: the relay is stopping or the device was revoked, and nobody waits for a reply.
    if (exchange.cancelled()) {
        activity.result = ActivityResult::refused;
        activity.reason =
            "ended while waiting for the agent (the device was revoked, or the "
            "relay stopped)";
        co_return SSHAgentProtocol::encodeFailure();
    }
    if (result.reply) co_return std::move(*result.reply);
    reportAgentFailure(origin, activity, *path, std::move(result.failure));
    co_return SSHAgentProtocol::encodeFailure();
}

void RelayListener::reportAgentFailure(const RequestOrigin& origin, ActivityEntry& activity,
                                       std::optional<std::string> socketPath, std::string reason) {
    activity.result = ActivityResult::agentFailure;
    activity.reason = (socketPath ? *socketPath + ": " : std::string()) + reason;
    if (!agentFailureHandler_) return;
    agentFailureHandler_(AgentFailure{origin.deviceName, std::move(socketPath), std::move(reason),
                                      std::chrono::system_clock::now()});
}

}  // namespace kestrel
