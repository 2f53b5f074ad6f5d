#include "relay/relay_listener.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "relay/relay_session.hpp"

namespace kestrel {

asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

RelayListener::RelayListener(asio::any_io_executor relayExecutor, PairedDeviceStore& store,
                             std::string relayName, SocketOverride socketOverride,
                             NoticePresenter& notices)
    : relayExecutor_(std::move(relayExecutor)),
      store_(store),
      relayName_(std::move(relayName)),
      socketOverride_(std::move(socketOverride)),
      approvalWindow_(RelayApprovalWindow::create(notices)),
      agentExchanges_(AgentExchanges::create()),
      signApprovals_(SignApprovals::create(relayExecutor_, notices)),
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
    agentExchanges_->cancel([](const AgentExchanges::Exchange&) { return true; });
    signApprovals_->cancel([](const SignApprovals::Request&) { return true; });
}

void RelayListener::closeSessions(const UUID& deviceID) {
    sessions_->closeAll([&](const Session& session) { return session.deviceID == deviceID; });
    agentExchanges_->cancel(
        [&](const AgentExchanges::Exchange& exchange) { return exchange.deviceID == deviceID; });
    signApprovals_->cancel(
        [&](const SignApprovals::Request& request) { return request.deviceID == deviceID; });
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
        // Every message goes out in one write and waits for its answer: Nagle's algorithm
        // could only hold a reply back until the client's delayed acknowledgement.
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        const std::uint64_t id = sessions_->nextID++;
        // A full cap closes older unauthenticated connections, never the new one.
        sessions_->evict(admission_.admit(id, address));
        auto session = std::make_shared<Session>(std::move(socket), address, id);
        session->countedUnauthenticated = true;
        Session::armDeadline(session, deadlines_.preamble);
        sessions_->sessions.emplace(id, session);
        asio::co_spawn(relayExecutor_, runSession(std::move(session), id, sessions_),
                       asio::detached);
    }
}

asio::awaitable<void> RelayListener::runSession(std::shared_ptr<Session> session, std::uint64_t id,
                                                std::shared_ptr<SessionRegistry> registry) {
    co_await handleConnection(session);
    registry->sessions.erase(id);
    if (session->countedUnauthenticated) admission_.leave(id);
}

}  // namespace kestrel
