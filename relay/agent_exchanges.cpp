#include "relay/agent_exchanges.hpp"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

namespace kestrel {

AgentExchanges::Registration::~Registration() {
    if (const auto owner = owner_.lock(); owner && exchange_) owner->exchanges_.erase(id_);
}

asio::awaitable<void> AgentExchanges::Registration::untilCancelled() const {
    // Held by this frame, so the timer outlives its wait even when the owner is gone.
    const std::shared_ptr<Exchange> exchange = exchange_;
    if (exchange->cancelled) co_return;
    std::error_code ignored;
    co_await exchange->cancelSignal.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

AgentExchanges::Registration AgentExchanges::add(const asio::any_io_executor& executor,
                                                 Bytes request, std::string socketPath,
                                                 std::optional<UUID> deviceID) {
    auto exchange = std::make_shared<Exchange>(
        Exchange{std::move(request), std::move(socketPath), std::move(deviceID), false,
                 asio::steady_timer(executor, asio::steady_timer::time_point::max())});
    const std::uint64_t id = nextID_++;
    exchanges_.emplace(id, exchange);
    return Registration(weak_from_this(), id, std::move(exchange));
}

const AgentExchanges::Exchange* AgentExchanges::carrying(ByteView request,
                                                         const std::string& socketPath) const {
    for (const auto& [id, exchange] : exchanges_) {
        if (exchange->socketPath == socketPath && std::ranges::equal(exchange->request, request))
            return exchange.get();
    }
    return nullptr;
}

void AgentExchanges::cancel(const std::function<bool(const Exchange&)>& which) {
    for (const auto& [id, exchange] : exchanges_) {
        if (!which(*exchange)) continue;
        exchange->cancelled = true;
        exchange->cancelSignal.cancel();
    }
}

}  // namespace kestrel
