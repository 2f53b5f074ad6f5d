#include "relay/admission_control.hpp"

#include <algorithm>

namespace kestrel {

AdmissionControl::AdmissionControl(Limits limits) : limits_(limits) {
    limits_.maxUnauthenticated = std::max<std::size_t>(1, limits_.maxUnauthenticated);
    limits_.maxUnauthenticatedPerSource =
        std::max<std::size_t>(1, limits_.maxUnauthenticatedPerSource);
}

asio::ip::address AdmissionControl::sourceOf(const asio::ip::address& address) {
    if (address.is_v4()) return address;
    const asio::ip::address_v6 v6 = address.to_v6();
    // Mapped addresses all lie in ::/64; masked, every IPv4 client would share one source.
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
    asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes, v6.scope_id());
}

std::vector<AdmissionControl::SessionID> AdmissionControl::admit(SessionID id,
                                                                 const asio::ip::address& address) {
    leave(id);
    const asio::ip::address source = sourceOf(address);
    std::vector<SessionID> evicted;
    if (const auto own = bySource_.find(source);
        own != bySource_.end() && own->second.size() >= limits_.maxUnauthenticatedPerSource) {
        evicted.push_back(evictOldest(own));
    }
    if (sessions_.size() >= limits_.maxUnauthenticated) {
        evicted.push_back(evictOldest(busiestSource()));
    }
    const std::uint64_t order = nextOrder_++;
    sessions_.emplace(id, Entry{source, order});
    bySource_[source].emplace(order, id);
    return evicted;
}

void AdmissionControl::leave(SessionID id) {
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) return;
    const auto source = bySource_.find(found->second.source);
    source->second.erase(found->second.order);
    if (source->second.empty()) bySource_.erase(source);
    sessions_.erase(found);
}

std::size_t AdmissionControl::unauthenticatedFrom(const asio::ip::address& address) const {
    const auto found = bySource_.find(sourceOf(address));
    return found == bySource_.end() ? 0 : found->second.size();
}

AdmissionControl::SessionID AdmissionControl::evictOldest(
    std::map<asio::ip::address, Queue>::iterator source) {
    const SessionID victim = source->second.begin()->second;
    leave(victim);
    return victim;
}

// Called only while sessions are counted, so there is at least one source. Linear in the
// number of sources, which the total cap bounds.
std::map<asio::ip::address, AdmissionControl::Queue>::iterator AdmissionControl::busiestSource() {
    auto busiest = bySource_.begin();
    for (auto source = bySource_.begin(); source != bySource_.end(); ++source) {
        const std::size_t count = source->second.size();
        const std::size_t most = busiest->second.size();
        if (count > most ||
            (count == most && source->second.begin()->first < busiest->second.begin()->first)) {
            busiest = source;
        }
    }
    return busiest;
}

bool AdmissionControl::takeHandshake(const asio::ip::address& address, Clock::time_point now) {
    if (buckets_.size() >= cleanupAt_) {
        forgetFullBuckets(now);
        cleanupAt_ = std::max(bucketsBeforeCleanup, 2 * buckets_.size());
    }
    auto [entry, added] =
        buckets_.try_emplace(sourceOf(address), Bucket{limits_.handshakeBurst, now});
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
