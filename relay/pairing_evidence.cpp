#include "relay/pairing_evidence.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "protocol/json_value.hpp"

namespace kestrel {
namespace {

constexpr std::pair<PairingEvidenceKind, std::string_view> kindNames[] = {
    {PairingEvidenceKind::beforeCode, "beforeCode"},
    {PairingEvidenceKind::whileOpen, "whileOpen"},
    {PairingEvidenceKind::afterUse, "afterUse"},
};

std::string_view nameOf(PairingEvidenceKind kind) {
    for (const auto& [known, name] : kindNames) {
        if (known == kind) return name;
    }
    return "beforeCode";
}

PairingEvidenceKind kindNamed(const std::string& name) {
    for (const auto& [kind, known] : kindNames) {
        if (known == name) return kind;
    }
    throw DecodingFailure(DecodingError::dataCorrupted, "kind", "unknown evidence kind");
}

PairingEvidence decodeOne(const nlohmann::json& object) {
    if (!object.is_object()) {
        throw DecodingFailure(DecodingError::typeMismatch, std::nullopt,
                              "evidence entry is not an object");
    }
    PairingEvidence evidence;
    evidence.kind = kindNamed(json::requiredString(object, "kind"));
    evidence.address = json::requiredString(object, "address");
    const std::int64_t attempts = json::requiredInt64(object, "attempts");
    if (attempts < 1) {
        throw DecodingFailure(DecodingError::dataCorrupted, "attempts", "not a positive count");
    }
    evidence.attempts = static_cast<std::uint64_t>(attempts);
    evidence.firstSeen = json::requiredDate(object, "firstSeen");
    evidence.lastSeen = json::requiredDate(object, "lastSeen");
    return evidence;
}

// One record per address, in the order the addresses were first seen.
std::vector<PairingEvidence> summarize(PairingEvidenceKind kind, const auto& attempts,
                                       const auto& counts) {
    std::vector<PairingEvidence> evidence;
    std::map<std::string, std::size_t> index;
    for (const auto& attempt : attempts) {
        if (!counts(attempt)) continue;
        const auto [found, added] = index.try_emplace(attempt.address, evidence.size());
        if (added) {
            evidence.push_back({kind, attempt.address, 0, attempt.at, attempt.at});
        }
        PairingEvidence& record = evidence[found->second];
        ++record.attempts;
        record.firstSeen = std::min(record.firstSeen, attempt.at);
        record.lastSeen = std::max(record.lastSeen, attempt.at);
    }
    return evidence;
}

std::string attemptsFrom(const PairingEvidence& evidence) {
    return std::to_string(evidence.attempts) +
           (evidence.attempts == 1 ? " pairing attempt from " : " pairing attempts from ") +
           evidence.address;
}

}  // namespace

std::string PairingEvidence::description(const std::string& deviceName) const {
    switch (kind) {
        case PairingEvidenceKind::beforeCode:
            return attemptsFrom(*this) + " before this code was shown";
        case PairingEvidenceKind::whileOpen:
            return attemptsFrom(*this) + " while this code was open";
        case PairingEvidenceKind::afterUse:
            return "another device (" + address + ") tried this code after \u201C" + deviceName +
                   "\u201D used it; if \u201C" + deviceName + "\u201D is not yours, revoke it";
    }
    return attemptsFrom(*this);
}

nlohmann::json encodePairingEvidence(const std::vector<PairingEvidence>& evidence) {
    nlohmann::json array = nlohmann::json::array();
    for (const PairingEvidence& record : evidence) {
        array.push_back({{"kind", nameOf(record.kind)},
                         {"address", record.address},
                         {"attempts", record.attempts},
                         {"firstSeen", secondsSinceReferenceDate(record.firstSeen)},
                         {"lastSeen", secondsSinceReferenceDate(record.lastSeen)}});
    }
    return array;
}

std::vector<PairingEvidence> decodePairingEvidence(const nlohmann::json& json) {
    if (!json.is_array()) {
        throw DecodingFailure(DecodingError::typeMismatch, std::nullopt,
                              "pairing evidence is not an array");
    }
    std::vector<PairingEvidence> evidence;
    for (const nlohmann::json& object : json) evidence.push_back(decodeOne(object));
    return evidence;
}

void PairingWatch::windowOpened(Date now) {
    forgetOld(now);
    open_ = true;
    whileOpen_.clear();
    // A new code ends the watch over the last one: tries from now on count against the new one.
    afterUse_.reset();
}

void PairingWatch::windowClosed() {
    open_ = false;
    whileOpen_.clear();
}

std::optional<PairingWatch::Suspect> PairingWatch::connection(const std::string& address,
                                                              Date now) {
    forgetOld(now);
    remember(open_ ? whileOpen_ : whileClosed_, address, now);
    if (open_ || !afterUse_ || now >= afterUse_->until || address == afterUse_->address ||
        !afterUse_->reported.insert(address).second) {
        return std::nullopt;
    }
    return Suspect{afterUse_->deviceID, {{PairingEvidenceKind::afterUse, address, 1, now, now}}};
}

std::vector<PairingEvidence> PairingWatch::paired(const std::string& address, const UUID& deviceID,
                                                  Date now) {
    forgetOld(now);
    std::vector<PairingEvidence> evidence = summarize(PairingEvidenceKind::beforeCode, whileClosed_,
                                                      [](const Attempt&) { return true; });
    const std::vector<PairingEvidence> others =
        summarize(PairingEvidenceKind::whileOpen, whileOpen_,
                  [&](const Attempt& attempt) { return attempt.address != address; });
    evidence.insert(evidence.end(), others.begin(), others.end());
    // Told once: the same connections do not also hold the next device paired.
    whileClosed_.clear();
    whileOpen_.clear();
    afterUse_ = AfterUse{deviceID, address, now + afterUseWindow, {}};
    return evidence;
}

void PairingWatch::remember(std::deque<Attempt>& list, const std::string& address, Date now) {
    if (whileClosed_.size() + whileOpen_.size() >= maxRemembered) {
        (whileClosed_.empty() ? whileOpen_ : whileClosed_).pop_front();
    }
    list.push_back({address, now});
}

void PairingWatch::forgetOld(Date now) {
    while (!whileClosed_.empty() && whileClosed_.front().at + lookBack < now) {
        whileClosed_.pop_front();
    }
    if (afterUse_ && now >= afterUse_->until) afterUse_.reset();
}

}  // namespace kestrel
