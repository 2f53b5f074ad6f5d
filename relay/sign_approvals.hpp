#pragma once

// Sign requests of devices set to ask first, waiting for the user: each waits on its own, so a
// device that waits holds up nobody else, and gets no answer from the agent until the user
// allows it here (from the notice, a desktop notification or `kestrel-relay allow`). Relay
// thread only.
//
// Owned through a std::shared_ptr (see create): the answer handler given to the presenter, and
// the frames of waiting coroutines, may outlive the listener; they then do nothing.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/notice_presenter.hpp"
#include "protocol/date.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

class SignApprovals : public std::enable_shared_from_this<SignApprovals> {
public:
    // How long a request waits for the user before it is refused.
    static constexpr std::chrono::seconds waitLimit{30};
    // How long "Allow for 10 minutes" lets one device sign with one key without asking.
    static constexpr std::chrono::minutes allowance{10};
    // A device may keep this many questions in front of the user at once; each opens a window
    // or a notification, and a device must not be able to bury the screen in them.
    static constexpr std::size_t maxWaitingPerDevice = 4;

    struct Request {
        std::uint64_t requestID = 0;
        UUID deviceID;
        std::string deviceName;
        std::string keyFingerprint;
        std::string detail;  // what the signature is for, and the key
        Date since;
    };

    // The presenter is asked for every request and told the answer; its answers come back
    // here through the relay's executor, from whatever thread gives them.
    static std::shared_ptr<SignApprovals> create(asio::any_io_executor relayExecutor,
                                                 NoticePresenter& presenter);

    // Whether "Allow for 10 minutes" lets this device sign with this key now.
    bool allowedWithoutAsking(const UUID& deviceID, const std::string& keyFingerprint);

    // Asks the user and waits for the answer, at most timeLimit. None when nobody answered, or
    // when the request was ended (cancel) first.
    asio::awaitable<std::optional<ApprovalDecision>> ask(
        Request request, std::chrono::steady_clock::duration timeLimit = waitLimit);

    // The user's answer to a waiting request; false when none waits under that ID.
    // allowForTenMinutes also lets through the device's other requests waiting for that key.
    bool decide(std::uint64_t requestID, ApprovalDecision decision);

    // Ends the chosen waits unanswered (the relay stopping, a device revoked).
    void cancel(const std::function<bool(const Request&)>& which);

    // The requests waiting now, oldest first.
    std::vector<Request> waiting() const;
    std::size_t waitingFor(const UUID& deviceID) const;

private:
    struct Waiting {
        Request request;
        asio::steady_timer timer;
        std::optional<ApprovalDecision> decision;

        Waiting(Request r, asio::any_io_executor executor)
            : request(std::move(r)), timer(std::move(executor)) {}
    };

    SignApprovals(asio::any_io_executor relayExecutor, NoticePresenter& presenter)
        : relayExecutor_(std::move(relayExecutor)), presenter_(presenter) {}
    void finish(std::uint64_t requestID);

    asio::any_io_executor relayExecutor_;
    NoticePresenter& presenter_;
    std::map<std::uint64_t, std::shared_ptr<Waiting>> waiting_;
    std::map<std::pair<UUID, std::string>, std::chrono::steady_clock::time_point> allowedUntil_;
};

std::string_view approvalDecisionName(ApprovalDecision decision) noexcept;

}  // namespace kestrel
