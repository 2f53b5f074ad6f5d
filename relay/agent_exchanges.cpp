#include "relay/agent_exchanges.hpp"

#include <algorithm>

namespace kestrel {

AgentExchanges::Registration::~Registration() {
    if (const auto owner = owner_.lock(); owner && exchange_) owner->exchanges_.erase(id_);
}

AgentExchanges::Registration AgentExchanges::add(Bytes request, std::string socketPath,
                                                 std::optional<UUID> deviceID) {
    auto exchange = std::make_shared<Exchange>();
    exchange->request = std::move(request);
    exchange->socketPath = std::move(socketPath);
    exchange->deviceID = std::move(deviceID);
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
        exchange->cancelSignal.emit(asio::cancellation_type::terminal);
    }
}

}  // namespace kestrel
