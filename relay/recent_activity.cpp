#include "relay/recent_activity.hpp"

namespace kestrel {

std::string_view activityKindName(ActivityKind kind) noexcept {
    switch (kind) {
        case ActivityKind::listKeys: return "list keys";
        case ActivityKind::sign: return "sign";
        case ActivityKind::other: break;
    }
    return "other";
}

std::string_view activityResultName(ActivityResult result) noexcept {
    switch (result) {
        case ActivityResult::answered: return "answered";
        case ActivityResult::refused: return "refused";
        case ActivityResult::agentFailure: return "agent failure";
        case ActivityResult::denied: break;
    }
    return "denied";
}

std::string signatureDetail(const SignPurpose& purpose, std::string_view fingerprint,
                            const std::optional<std::string>& comment) {
    return purpose.description() + " with " + describeKey(fingerprint, comment);
}

std::string ActivityEntry::detail() const {
    if (!purpose) return {};
    return signatureDetail(*purpose, keyFingerprint, keyComment);
}

}  // namespace kestrel
