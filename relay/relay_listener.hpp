#pragma once

// The relay's network side: accepts TCP connections and runs one session coroutine per
// connection. A session reads the plain-text preamble, picks the pre-shared key (the open
// pairing code's bootstrap key, or a paired device's key), runs the server side of the
// handshake, then either completes a pairing or serves agent requests until the connection ends.
// The relay never answers a failure: it closes the connection.
//
// Everything here runs on the relay thread (the executor given at construction), agent
// exchanges included: they are asynchronous local-socket I/O, each with its own time limit, so a
// silent agent holds up only its own request. Destroy the listener only after stop() and once
// the relay thread has finished its pending work (or the io_context is stopped).

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/notice_presenter.hpp"
#include "protocol/connection_preamble.hpp"
#include "protocol/crypto.hpp"
#include "protocol/paired_device.hpp"
#include "protocol/secure_channel.hpp"
#include "protocol/uuid.hpp"
#include "relay/admission_control.hpp"
#include "relay/agent_exchanges.hpp"
#include "relay/agent_failure.hpp"
#include "relay/paired_device_store.hpp"
#include "relay/recent_activity.hpp"
#include "relay/relay_approval_window.hpp"
#include "relay/relay_connection_io.hpp"
#include "relay/sign_approvals.hpp"

namespace kestrel {

// The key for one connection's handshake.
struct ResolvedPSK {
    SymmetricKey psk;
    std::optional<UUID> deviceID;  // none for a pairing connection
};

// How sessions reach the pairing state and report back: the relay controller. Relay thread.
//
// A pairing code allows one handshake: the first pairing connection that is about to be sent a
// server hello claims the code, and if that connection does not complete pairing the code is
// used up. The server hello is sealed under the code, so a device that received it could try
// every code offline; one handshake per code, with a short deadline for its confirm, leaves such
// a device nothing to use its answer on unless it searches faster than the deadline. What the
// deadline cannot stop, the controller makes visible: every pairing-mode connection is
// reported, and a device that pairs with suspicious ones around it is held.
class RelayListenerDelegate {
public:
    // Identifies the claimed window in later reports, so that a late report cannot end a
    // window opened since.
    using PairingClaim = std::uint64_t;

    virtual ~RelayListenerDelegate() = default;

    // A connection asked for pairing (its preamble said so), from address.
    virtual void pairingConnection(const std::string& address) = 0;
    // The open pairing window's code while nobody has claimed it, or none.
    virtual std::optional<std::string> activePairingCode() = 0;
    // Claims the open window for one handshake from address; none when it is gone or already
    // claimed.
    virtual std::optional<PairingClaim> claimPairingCode(const std::string& address) = 0;
    // Whether the claim may still pair a device: false once the user cancelled its window or
    // replaced it with a new code.
    virtual bool pairingClaimValid(PairingClaim claim) = 0;
    // The claimed handshake's client confirm failed verification.
    virtual void pairingAttemptFailed(PairingClaim claim) = 0;
    // The claimed handshake ended without completing (timeout, disconnect, failed grant).
    virtual void pairingAbandoned(PairingClaim claim) = 0;
    // A new device acknowledged its grant. Stores it unless the claim is no longer valid.
    virtual void pairingCompleted(PairingClaim claim, const PairedDevice& device) = 0;
    // A paired device completed its handshake.
    virtual void deviceConnected(const UUID& deviceID) = 0;
    // A connection ended before it authenticated, and why; for the log.
    virtual void connectionRefused(const std::string& /*address*/, const std::string& /*reason*/) {}
    // A paired device's request got the failure reply without reaching the agent, and why.
    virtual void requestRefused(const std::string& /*deviceName*/, const std::string& /*reason*/) {}
    // A sign request waits for the user (its device asks before signing).
    virtual void approvalRequested(const SignApprovals::Request& /*request*/) {}
    // An agent request was answered, whichever way.
    virtual void requestHandled(const ActivityEntry& /*activity*/) {}
};

class RelayListener {
public:
    // The user's custom agent socket path, asked again for every relayed request.
    using SocketOverride = std::function<std::optional<std::string>()>;
    // Told of every agent request that failed for a reason other than the request itself.
    using AgentFailureHandler = std::function<void(const AgentFailure&)>;

    // Where an agent request comes from.
    struct RequestOrigin {
        std::string deviceName;
        std::optional<UUID> deviceID;
        bool fromThisHost = false;  // the connection came from an address of this machine
    };

    // A sign request reaches the agent this long after its notice went up, so the user sees
    // which device is asking before the agent's own prompt appears.
    static constexpr std::chrono::milliseconds noticeLeadTime{200};
    // Until a peer has authenticated: the preamble must arrive this soon after the connection,
    // and the handshake this soon after the preamble. Authenticated sessions have no deadline.
    struct Deadlines {
        std::chrono::steady_clock::duration preamble = std::chrono::seconds(10);
        std::chrono::steady_clock::duration handshake = std::chrono::seconds(10);
        // From the server hello of a pairing handshake to its client confirm. A client derives
        // its key before it connects, so its confirm costs one X25519, two HKDFs and a seal
        // (kestrel-agent's arrives 0.5 to 5 ms after the server hello on loopback) plus a round
        // trip. One second leaves a phone on poor Wi-Fi a 300 ms round trip and a retransmission
        // at TCP's 200 ms minimum. It does not stop the offline search (about half a second of
        // one core for every code, bench/pairing_code_search); it only bounds how long the
        // code stays claimed. Holding suspicious pairings is the defence.
        std::chrono::steady_clock::duration pairingConfirm = std::chrono::seconds(1);
        // From the grant to its acknowledgement, which a client sends as soon as it has the
        // grant; a claim must not outlive the window the user sees by much.
        std::chrono::steady_clock::duration grantAcknowledgement = std::chrono::seconds(10);
        // One agent exchange, from connecting to the agent's socket to its whole reply.
        std::chrono::steady_clock::duration agentExchange = std::chrono::seconds(60);
        // A sign request of a device that asks first waits this long for the user.
        std::chrono::steady_clock::duration approval = SignApprovals::waitLimit;
    };
    // Frames before authentication have known sizes; larger headers close the connection.
    static constexpr std::size_t maxPreambleLength = 16 * 1024;

    RelayListener(asio::any_io_executor relayExecutor, PairedDeviceStore& store,
                  std::string relayName, SocketOverride socketOverride, NoticePresenter& notices);
    ~RelayListener();

    RelayListener(const RelayListener&) = delete;
    RelayListener& operator=(const RelayListener&) = delete;

    void setDelegate(RelayListenerDelegate* delegate) { delegate_ = delegate; }
    void setDeadlines(const Deadlines& deadlines) { deadlines_ = deadlines; }
    void setAgentFailureHandler(AgentFailureHandler handler) {
        agentFailureHandler_ = std::move(handler);
    }

    // Binds [::]:port (both IPv4 and IPv6; port 0 lets the system choose) and starts accepting.
    // Throws std::system_error when the port cannot be bound.
    void start(std::uint16_t port = 0);
    // Stops accepting, closes every session and ends the agent exchanges in flight.
    void stop();
    // Closes the open sessions of one device (after it was revoked) and ends its agent
    // exchanges in flight: a revoked device's request must not reach the agent later.
    void closeSessions(const UUID& deviceID);

    std::optional<std::uint16_t> port() const noexcept { return port_; }
    const std::string& relayName() const noexcept { return relayName_; }
    std::size_t sessionCount() const;
    // Agent exchanges waiting for the agent right now.
    std::size_t agentExchangesInFlight() const noexcept { return agentExchanges_->size(); }
    RelayApprovalWindow& approvalWindow() noexcept { return *approvalWindow_; }
    SignApprovals& signApprovals() noexcept { return *signApprovals_; }

    std::optional<ResolvedPSK> resolvePSK(const ConnectionPreamble& preamble);
    // The reply to one agentRequest payload; never fails (anything that cannot be relayed is
    // answered with the agent failure message, and a failure of the agent is reported).
    asio::awaitable<Bytes> handleAgentRequest(Bytes payload, RequestOrigin origin);

private:
    struct Session;
    struct SessionRegistry;

    asio::awaitable<void> acceptLoop();
    // Each coroutine takes what it needs by value: GCC 12 mishandles lambda coroutines whose
    // captures outlive a co_await.
    asio::awaitable<void> runSession(std::shared_ptr<Session> session, std::uint64_t id,
                                     std::shared_ptr<SessionRegistry> registry);
    asio::awaitable<void> handleConnection(std::shared_ptr<Session> session);
    // Runs the handshake; the channel is established when it returns.
    void reportRefusal(const std::shared_ptr<Session>& session, const std::string& reason);
    asio::awaitable<void> handshake(const std::shared_ptr<Session>& session, RelayConnectionIO& io,
                                    SecureChannel& channel, const ConnectionPreamble& preamble,
                                    std::optional<RelayListenerDelegate::PairingClaim>& claim);
    asio::awaitable<void> completePairing(const std::shared_ptr<Session>& session,
                                          RelayConnectionIO& io, SecureChannel& channel,
                                          const std::string& clientName,
                                          RelayListenerDelegate::PairingClaim claim);
    asio::awaitable<void> serve(RelayConnectionIO& io, SecureChannel& channel,
                                RequestOrigin origin);
    // The reply to one request; what happened is written into activity.
    asio::awaitable<Bytes> answer(Bytes payload, const RequestOrigin& origin,
                                  ActivityEntry& activity);
    // path: the agent socket resolved from customPath, none when none was found.
    asio::awaitable<Bytes> forwardToAgent(Bytes request, std::optional<std::string> path,
                                          const std::optional<std::string>& customPath,
                                          const RequestOrigin& origin, ActivityEntry& activity);
    // Learns the keys' comments from an identities answer, and narrows it to the keys the
    // device may use.
    Bytes readIdentities(Bytes reply, const DeviceSettings& settings, ActivityEntry& activity);
    void reportAgentFailure(const RequestOrigin& origin, ActivityEntry& activity,
                            std::optional<std::string> socketPath, std::string reason);

    asio::any_io_executor relayExecutor_;
    PairedDeviceStore& store_;
    std::string relayName_;
    SocketOverride socketOverride_;
    AgentFailureHandler agentFailureHandler_;
    std::shared_ptr<RelayApprovalWindow> approvalWindow_;
    std::shared_ptr<AgentExchanges> agentExchanges_;
    std::shared_ptr<SignApprovals> signApprovals_;
    std::uint64_t requestCount_ = 0;  // numbers requests for the activity and for allow|deny
    // The comments of the agent's keys, by key blob (as text: GCC 12 warns falsely about
    // comparing byte vectors in an optimised build), as the agent last listed them.
    std::map<std::string, std::string> keyComments_;
    RelayListenerDelegate* delegate_ = nullptr;
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    std::optional<std::uint16_t> port_;
    std::shared_ptr<SessionRegistry> sessions_;
    AdmissionControl admission_;
    Deadlines deadlines_;
};

}  // namespace kestrel
