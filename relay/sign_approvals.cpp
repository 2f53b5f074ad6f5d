#include "relay/sign_approvals.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace kestrel {

std::string_view approvalDecisionName(ApprovalDecision decision) noexcept {
    switch (decision) {
        case ApprovalDecision::allow: return "allow";
        case ApprovalDecision::allowForTenMinutes: return "allow for 10 minutes";
        case ApprovalDecision::deny: break;
    }
    return "deny";
}

std::shared_ptr<SignApprovals> SignApprovals::create(asio::any_io_executor relayExecutor,
                                                     NoticePresenter& presenter) {
    std::shared_ptr<SignApprovals> approvals(new SignApprovals(relayExecutor, presenter));
    presenter.setApprovalHandler([weak = std::weak_ptr<SignApprovals>(approvals), relayExecutor](
                                     std::uint64_t requestID, ApprovalDecision decision) {
        asio::post(relayExecutor, [weak, requestID, decision] {
            if (const auto owner = weak.lock()) owner->decide(requestID, decision);
        });
    });
    return approvals;
}

bool SignApprovals::allowedWithoutAsking(const UUID& deviceID, const std::string& keyFingerprint) {
    const auto found = allowedUntil_.find({deviceID, keyFingerprint});
    if (found == allowedUntil_.end()) return false;
    if (std::chrono::steady_clock::now() < found->second) return true;
    allowedUntil_.erase(found);
    return false;
}

asio::awaitable<std::optional<ApprovalDecision>> SignApprovals::ask(
    Request request, std::chrono::steady_clock::duration timeLimit) {
    const std::uint64_t requestID = request.requestID;
    auto waiting = std::make_shared<Waiting>(std::move(request), relayExecutor_);
    waiting_[requestID] = waiting;
    // Taken down however the wait ends, the coroutine's destruction included.
    struct Finish {
        std::weak_ptr<SignApprovals> owner;
        std::uint64_t requestID;
        ~Finish() {
            if (const auto approvals = owner.lock()) approvals->finish(requestID);
        }
    } finish{weak_from_this(), requestID};
    presenter_.askApproval({requestID, waiting->request.deviceName, waiting->request.detail});
    waiting->timer.expires_after(timeLimit);
    std::error_code ignored;
    co_await waiting->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_return waiting->decision;
}

bool SignApprovals::decide(std::uint64_t requestID, ApprovalDecision decision) {
    const auto found = waiting_.find(requestID);
    if (found == waiting_.end() || found->second->decision) return false;
    const Request& request = found->second->request;
    if (decision == ApprovalDecision::allowForTenMinutes) {
        allowedUntil_[{request.deviceID, request.keyFingerprint}] =
            std::chrono::steady_clock::now() + allowance;
        for (auto& [id, other] : waiting_) {
            if (id == requestID || other->decision || other->request.deviceID != request.deviceID ||
                other->request.keyFingerprint != request.keyFingerprint)
                continue;
            other->decision = ApprovalDecision::allow;
            other->timer.cancel();
        }
    }
    found->second->decision = decision;
    found->second->timer.cancel();
    return true;
}

void SignApprovals::cancel(const std::function<bool(const Request&)>& which) {
    for (auto& [id, waiting] : waiting_) {
        if (which(waiting->request)) waiting->timer.cancel();
    }
}

std::vector<SignApprovals::Request> SignApprovals::waiting() const {
    std::vector<Request> requests;
    for (const auto& [id, waiting] : waiting_) {
        if (!waiting->decision) requests.push_back(waiting->request);
    }
    return requests;
}

std::size_t SignApprovals::waitingFor(const UUID& deviceID) const {
    std::size_t count = 0;
    for (const auto& [id, waiting] : waiting_)
        count += !waiting->decision && waiting->request.deviceID == deviceID ? 1 : 0;
    return count;
}

void SignApprovals::finish(std::uint64_t requestID) {
    if (waiting_.erase(requestID) != 0) presenter_.endApproval(requestID);
}

}  // namespace kestrel
