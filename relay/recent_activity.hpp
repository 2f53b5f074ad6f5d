#pragma once

// What the relay did with the agent requests of paired devices, the latest first to go: kept in
// memory only, so that the user can see afterwards what was signed, and for whom. Relay thread
// only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/date.hpp"
#include "protocol/uuid.hpp"
#include "relay/sign_purpose.hpp"

namespace kestrel {

enum class ActivityKind { listKeys, sign, other };
enum class ActivityResult {
    answered,      // the agent's reply went back (its own failure reply included, see reason)
    refused,       // by the relay: a held device, another request type, a key not allowed
    agentFailure,  // the agent could not be reached or did not answer
    denied,        // by the user, or nobody answered in time
};

std::string_view activityKindName(ActivityKind kind) noexcept;  // "list keys", "sign", "other"
std::string_view activityResultName(ActivityResult result) noexcept;  // "answered", ...

struct ActivityEntry {
    std::uint64_t requestID = 0;
    Date at;
    std::string deviceName;
    std::optional<UUID> deviceID;
    ActivityKind kind = ActivityKind::other;
    // Sign requests only: the key and what the signature is for.
    std::string keyFingerprint;
    std::optional<std::string> keyComment;  // as the agent last listed it
    std::optional<SignPurpose> purpose;
    ActivityResult result = ActivityResult::answered;
    std::string reason;  // one line when not simply answered

    // "log in as “git” with “me@laptop” SHA256:…", for a sign request; empty otherwise.
    std::string detail() const;
};

// "log in as “git” with “me@laptop” SHA256:…"
std::string signatureDetail(const SignPurpose& purpose, std::string_view fingerprint,
                            const std::optional<std::string>& comment);

class RecentActivity {
public:
    static constexpr std::size_t capacity = 500;

    void add(ActivityEntry entry) {
        if (entries_.size() == capacity) entries_.pop_front();
        entries_.push_back(std::move(entry));
    }
    // Oldest first.
    const std::deque<ActivityEntry>& entries() const noexcept { return entries_; }

private:
    std::deque<ActivityEntry> entries_;
};

}  // namespace kestrel
