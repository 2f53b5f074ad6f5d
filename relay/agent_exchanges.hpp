#pragma once

#include <asio/cancellation_signal.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "protocol/bytes.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

// The agent exchanges in flight: how many there are, which request each carries to which socket
// (so that a request coming back through the agent can be recognised), and a way to end them
// early (the relay stopping, a device revoked). Relay thread only.
//
// Owned through a std::shared_ptr (see create): a Registration held by a coroutine frame that
// is destroyed after its owner does nothing.
class AgentExchanges : public std::enable_shared_from_this<AgentExchanges> {
public:
    struct Exchange {
        Bytes request;
        std::string socketPath;
        std::optional<UUID> deviceID;
        bool cancelled = false;
        asio::cancellation_signal cancelSignal;  // emitted to end the exchange
    };

    // One exchange, counted while the registration lives, however its coroutine ends.
    class [[nodiscard]] Registration {
    public:
        Registration(Registration&&) noexcept = default;
        Registration& operator=(Registration&&) = delete;
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        ~Registration();

        // Give it to the exchange (AgentForwarder::forward): cancelling ends it at once.
        asio::cancellation_slot cancellationSlot() const { return exchange_->cancelSignal.slot(); }
        bool cancelled() const noexcept { return exchange_->cancelled; }

    private:
        friend class AgentExchanges;
        Registration(std::weak_ptr<AgentExchanges> owner, std::uint64_t id,
                     std::shared_ptr<Exchange> exchange)
            : owner_(std::move(owner)), id_(id), exchange_(std::move(exchange)) {}

        std::weak_ptr<AgentExchanges> owner_;
        std::uint64_t id_;
        std::shared_ptr<Exchange> exchange_;
    };

    static std::shared_ptr<AgentExchanges> create() {
        return std::shared_ptr<AgentExchanges>(new AgentExchanges());
    }

    Registration add(Bytes request, std::string socketPath, std::optional<UUID> deviceID);

    std::size_t size() const noexcept { return exchanges_.size(); }
    // An exchange in flight that carries exactly this request to this socket, or null.
    const Exchange* carrying(ByteView request, const std::string& socketPath) const;
    // Ends the exchanges chosen, through their cancellation slots.
    void cancel(const std::function<bool(const Exchange&)>& which);

private:
    AgentExchanges() = default;

    std::map<std::uint64_t, std::shared_ptr<Exchange>> exchanges_;
    std::uint64_t nextID_ = 0;
};

}  // namespace kestrel
