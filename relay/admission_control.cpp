#include "relay/admission_control.hpp"

#include <algorithm>

namespace kestrel {
namespace {

// Buckets are dropped once full again, so a scan of many addresses leaves nothing behind; the
// scan for full ones runs only when the map has grown this large.
constexpr std::size_t bucketsBeforeCleanup = 1024;

}  // namespace

bool AdmissionControl::admit(const asio::ip::address& address) {
    std::size_t& fromAddress = perAddress_[address];
    if (total_ >= limits_.maxUnauthenticated ||
        fromAddress >= limits_.maxUnauthenticatedPerAddress) {
        if (fromAddress == 0) perAddress_.erase(address);
        return false;
    }
    ++fromAddress;
    ++total_;
    return true;
}

void AdmissionControl::leave(const asio::ip::address& address) {
    const auto found = perAddress_.find(address);
    if (found == perAddress_.end()) return;
    --total_;
    if (--found->second == 0) perAddress_.erase(found);
}

bool AdmissionControl::takeHandshake(const asio::ip::address& address, Clock::time_point now) {
    if (buckets_.size() >= bucketsBeforeCleanup) forgetFullBuckets(now);
    auto [entry, added] = buckets_.try_emplace(address, Bucket{limits_.handshakeBurst, now});
    Bucket& bucket = entry->second;
    const double elapsed = std::chrono::duration<double>(now - bucket.refilledAt).count();
    bucket.tokens =
        std::min(limits_.handshakeBurst, bucket.tokens + elapsed * limits_.handshakesPerSecond);
    bucket.refilledAt = now;
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
}

void AdmissionControl::forgetFullBuckets(Clock::time_point now) {
    std::erase_if(buckets_, [&](const auto& entry) {
        const double elapsed = std::chrono::duration<double>(now - entry.second.refilledAt).count();
        return entry.second.tokens + elapsed * limits_.handshakesPerSecond >=
               limits_.handshakeBurst;
    });
}

}  // namespace kestrel
