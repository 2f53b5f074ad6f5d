#include "relay/relay_listener.hpp"

#include <openssl/crypto.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <map>

#include "protocol/pairing.hpp"
#include "protocol/pairing_grant.hpp"
#include "protocol/relay_envelope.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/agent_forwarder.hpp"
#include "relay/display_name.hpp"

namespace kestrel {
namespace {

// A rejected client confirm, rethrown so the session knows it was already reported.
struct SecureChannelFailure : std::system_error {
    explicit SecureChannelFailure(const std::system_error& error) : std::system_error(error) {}
};

// Clears a buffer that held key material once it is no longer needed.
struct WipeOnExit {
    Bytes& bytes;
    ~WipeOnExit() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

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

asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

}  // namespace

struct RelayListener::Session {
    Session(asio::ip::tcp::socket connection, asio::ip::address from)
        : socket(std::move(connection)), address(from), watchdog(socket.get_executor()) {}

    void close() {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        watchdog.cancel();
    }

    // Closes the connection unless the session gets further first (disarm, or a new deadline).
    // The handler holds the session weakly: a session may end, and be freed, while its timer's
    // completion is already queued.
    static void armDeadline(const std::shared_ptr<Session>& session,
                            std::chrono::steady_clock::duration after) {
        const std::uint64_t generation = ++session->deadlineGeneration;
        session->watchdog.expires_after(after);
        session->watchdog.async_wait(
            [weak = std::weak_ptr<Session>(session), generation](std::error_code error) {
                auto expired = weak.lock();
                // A completion queued just before the session moved on is stale: cancelling
                // cannot recall it, so it must not close the session's next step.
                if (expired && !error && expired->deadlineGeneration == generation) {
                    expired->close();
                }
            });
    }

    void disarmDeadline() {
        ++deadlineGeneration;
        watchdog.cancel();
    }

    asio::ip::tcp::socket socket;
    asio::ip::address address;
    asio::steady_timer watchdog;
    std::uint64_t deadlineGeneration = 0;
    bool countedUnauthenticated = false;
    std::optional<UUID> deviceID;  // set once a paired connection's key is resolved
};

// The open sessions, so that stop() and a revocation can close them. Shared with each session's
// coroutine, which removes itself when it ends, even if that happens after the listener is gone.
struct RelayListener::SessionRegistry {
    std::map<std::uint64_t, std::weak_ptr<Session>> sessions;
    std::uint64_t nextID = 0;

    void closeAll(const std::function<bool(const Session&)>& which) {
        for (auto& [id, weak] : sessions) {
            if (auto session = weak.lock(); session && which(*session)) session->close();
        }
    }
};

RelayListener::RelayListener(asio::any_io_executor relayExecutor,
                             asio::any_io_executor workerExecutor, PairedDeviceStore& store,
                             std::string relayName, SocketOverride socketOverride,
                             NoticePresenter& notices)
    : relayExecutor_(std::move(relayExecutor)),
      workerExecutor_(std::move(workerExecutor)),
      store_(store),
      relayName_(std::move(relayName)),
      socketOverride_(std::move(socketOverride)),
      approvalWindow_(notices),
      sessions_(std::make_shared<SessionRegistry>()) {}

RelayListener::~RelayListener() { stop(); }

void RelayListener::start(std::uint16_t port) {
    asio::ip::tcp::acceptor acceptor(relayExecutor_);
    const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::ip::v6_only(false));
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    port_ = acceptor.local_endpoint().port();
    acceptor_.emplace(std::move(acceptor));
    asio::co_spawn(relayExecutor_, acceptLoop(), asio::detached);
}

void RelayListener::stop() {
    if (acceptor_) {
        std::error_code ignored;
        acceptor_->close(ignored);
    }
    sessions_->closeAll([](const Session&) { return true; });
}

void RelayListener::closeSessions(const UUID& deviceID) {
    sessions_->closeAll([&](const Session& session) { return session.deviceID == deviceID; });
}

std::size_t RelayListener::sessionCount() const {
    std::size_t count = 0;
    for (const auto& [id, weak] : sessions_->sessions) count += weak.expired() ? 0 : 1;
    return count;
}

asio::awaitable<void> RelayListener::acceptLoop() {
    for (;;) {
        std::error_code error;
        asio::ip::tcp::socket socket =
            co_await acceptor_->async_accept(asio::redirect_error(asio::use_awaitable, error));
        if (error == asio::error::operation_aborted || !acceptor_->is_open()) co_return;
        if (error) {
            // Out of descriptors or a connection reset before it was accepted: wait a moment
            // rather than spin on an error that will come straight back.
            co_await sleepFor(std::chrono::milliseconds(100));
            continue;
        }
        std::error_code ignored;
        const asio::ip::address address = socket.remote_endpoint(ignored).address();
        if (!admission_.admit(address)) {
            socket.close(ignored);  // too many connections that have not authenticated
            continue;
        }
        auto session = std::make_shared<Session>(std::move(socket), address);
        session->countedUnauthenticated = true;
        Session::armDeadline(session, deadlines_.preamble);
        const std::uint64_t id = sessions_->nextID++;
        sessions_->sessions.emplace(id, session);
        asio::co_spawn(relayExecutor_, runSession(std::move(session), id, sessions_),
                       asio::detached);
    }
}

asio::awaitable<void> RelayListener::runSession(std::shared_ptr<Session> session, std::uint64_t id,
                                                std::shared_ptr<SessionRegistry> registry) {
    co_await handleConnection(session);
    registry->sessions.erase(id);
    if (session->countedUnauthenticated) admission_.leave(session->address);
}

std::optional<ResolvedPSK> RelayListener::resolvePSK(const ConnectionPreamble& preamble) {
    if (preamble.mode == ConnectionMode::pairing) {
        if (delegate_ == nullptr) return std::nullopt;
        const std::optional<std::string> code = delegate_->activePairingCode();
        if (!code) return std::nullopt;
        return ResolvedPSK{Pairing::bootstrapPSK(*code), std::nullopt};
    }
    if (!preamble.deviceID) return std::nullopt;
    const std::optional<PairedDevice> device = store_.device(*preamble.deviceID);
    if (!device) return std::nullopt;
    return ResolvedPSK{device->psk(), preamble.deviceID};
}

asio::awaitable<void> RelayListener::handleConnection(std::shared_ptr<Session> session) {
    std::optional<RelayListenerDelegate::PairingClaim> claim;
    bool pairingEnded = false;
    try {
        RelayConnectionIO io(session->socket);
        const ConnectionPreamble preamble =
            ConnectionPreamble::deserialize(co_await io.receive(maxPreambleLength));
        std::optional<ResolvedPSK> resolved = resolvePSK(preamble);
        if (!resolved) {
            session->close();
            co_return;
        }
        session->deviceID = resolved->deviceID;
        Session::armDeadline(session, deadlines_.handshake);
        SecureChannel channel(SecureChannel::Role::server, std::move(resolved->psk));
        co_await handshake(session, io, channel, preamble, claim);

        session->disarmDeadline();
        session->countedUnauthenticated = false;
        admission_.leave(session->address);
        if (preamble.mode == ConnectionMode::pairing) {
            co_await completePairing(io, channel, preamble.clientName, *claim);
            pairingEnded = true;
        } else {
            if (delegate_ != nullptr) delegate_->deviceConnected(*resolved->deviceID);
            // Revoked while its handshake ran: closed, not served under a stand-in name.
            if (const auto device = store_.device(*resolved->deviceID)) {
                co_await serve(io, channel, device->displayName);
            }
        }
    } catch (const SecureChannelFailure&) {
        // A rejected confirm: already reported as a failed attempt.
        pairingEnded = true;
    } catch (const std::exception&) {
        // Any failure ends the session without an answer.
    }
    if (claim && !pairingEnded && delegate_ != nullptr) delegate_->pairingAbandoned(*claim);
    session->close();
}

asio::awaitable<void> RelayListener::handshake(
    const std::shared_ptr<Session>& session, RelayConnectionIO& io, SecureChannel& channel,
    const ConnectionPreamble& preamble, std::optional<RelayListenerDelegate::PairingClaim>& claim) {
    const Bytes clientHello = co_await io.receive(SecureChannel::clientHelloLength);
    if (!admission_.takeHandshake(session->address)) {
        throw std::system_error(std::make_error_code(std::errc::connection_refused),
                                "handshake rate");
    }
    const Bytes serverHello = channel.serverReceiveClientHello(clientHello);
    if (preamble.mode == ConnectionMode::pairing) {
        // Another pairing handshake is in progress, or the code was used: nothing is sent that
        // could be tested against guesses of the code.
        claim = delegate_ != nullptr ? delegate_->claimPairingCode() : std::nullopt;
        if (!claim)
            throw std::system_error(std::make_error_code(std::errc::connection_refused),
                                    "code in use");
    }
    co_await io.send(serverHello);
    if (claim) Session::armDeadline(session, deadlines_.pairingConfirm);
    const Bytes clientConfirm = co_await io.receive(SecureChannel::clientConfirmLength);
    try {
        channel.serverReceiveClientConfirm(clientConfirm);
    } catch (const std::system_error& error) {
        if (claim && delegate_ != nullptr) delegate_->pairingAttemptFailed(*claim);
        throw SecureChannelFailure(error);
    }
}

asio::awaitable<void> RelayListener::completePairing(RelayConnectionIO& io, SecureChannel& channel,
                                                     const std::string& clientName,
                                                     RelayListenerDelegate::PairingClaim claim) {
    const PairedDevice device(UUID::random(), cleanDisplayName(clientName),
                              Pairing::generateLongTermPSK(), std::chrono::system_clock::now());
    Bytes grant = PairingGrant(device.deviceID, device.pskData, relayName_).serialized();
    const WipeOnExit wipeGrant{grant};
    Bytes envelope = RelayEnvelope(RelayMessageType::pairingGrant, grant, 1).serialized();
    const WipeOnExit wipeEnvelope{envelope};
    co_await io.send(channel.seal(envelope));
    // Any message that authenticates is the acknowledgement; its content does not matter.
    channel.open(co_await io.receive());
    if (delegate_ != nullptr) delegate_->pairingCompleted(claim, device);
}

asio::awaitable<void> RelayListener::serve(RelayConnectionIO& io, SecureChannel& channel,
                                           const std::string& deviceName) {
    for (;;) {
        const RelayEnvelope request =
            RelayEnvelope::deserialize(channel.open(co_await io.receive()));
        if (request.type != RelayMessageType::agentRequest) co_return;
        Bytes reply = co_await handleAgentRequest(request.payload, deviceName);
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
