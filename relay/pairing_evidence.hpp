#pragma once

// What the relay saw around a pairing that a device could have taken over without the code.
//
// The server hello of a pairing handshake lets whoever receives it test every six-digit code
// offline in about a second, and the wire protocol cannot change that. An attacker learns that a
// code is open only by connecting in pairing mode, so such connections are the evidence: any
// while no code is open, and any from another address than the claimant's while a code is open
// or shortly after it was used. A device that pairs with evidence against it is held until the
// user approves it.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/date.hpp"
#include "protocol/uuid.hpp"

namespace kestrel {

enum class PairingEvidenceKind {
    beforeCode,  // pairing-mode connections while no code was open
    whileOpen,   // from another address than the claimant's while its code was open
    afterUse,    // from another address than the device's, shortly after it used its code
};

// Pairing-mode connections of one kind from one address.
struct PairingEvidence {
    PairingEvidenceKind kind = PairingEvidenceKind::beforeCode;
    std::string address;  // IPv4-mapped IPv6 addresses are written as IPv4
    std::uint64_t attempts = 0;
    Date firstSeen;
    Date lastSeen;

    // One line for the user, naming the device that used the code where that matters:
    // "2 pairing attempts from 192.168.1.40 before this code was shown".
    std::string description(const std::string& deviceName) const;

    friend bool operator==(const PairingEvidence&, const PairingEvidence&) = default;
};

// The stored form, an array of {"kind", "address", "attempts", "firstSeen", "lastSeen"} with
// dates as seconds since 2001-01-01 UTC. Decoding throws DecodingFailure on anything malformed:
// the records decide whether a device may use the agent, so a damaged list is not guessed at.
nlohmann::json encodePairingEvidence(const std::vector<PairingEvidence>& evidence);
std::vector<PairingEvidence> decodePairingEvidence(const nlohmann::json& json);

// Collects pairing-mode connections and turns them into evidence against a pairing. Plain state
// with the time passed in; the relay controller owns one. Relay thread only.
class PairingWatch {
public:
    // How far back connections made while no code was open count against a pairing.
    static constexpr std::chrono::minutes lookBack{10};
    // How long after a pairing other devices trying the code still count against it.
    static constexpr std::chrono::minutes afterUseWindow{2};
    // Connections remembered at most; the oldest go first, so a flood costs bounded memory and
    // still leaves plenty of evidence.
    static constexpr std::size_t maxRemembered = 4096;

    // The device that a late try of its code counts against.
    struct Suspect {
        UUID deviceID;
        std::vector<PairingEvidence> evidence;
    };

    void windowOpened(Date now);
    void windowClosed();
    // A connection in pairing mode from address. A suspect when it tried the code of a device
    // paired moments ago from elsewhere.
    std::optional<Suspect> connection(const std::string& address, Date now);
    // The evidence against the claimant at address, when its pairing completes at now. The
    // connections it names are consumed, and the after-use watch starts for deviceID.
    std::vector<PairingEvidence> paired(const std::string& address, const UUID& deviceID, Date now);

private:
    struct Attempt {
        std::string address;
        Date at;
    };

    void remember(std::deque<Attempt>& list, const std::string& address, Date now);
    void forgetOld(Date now);

    bool open_ = false;
    std::deque<Attempt> whileClosed_;
    std::deque<Attempt> whileOpen_;
    struct AfterUse {
        UUID deviceID;
        std::string address;
        Date until;
        std::set<std::string> reported;  // each address is reported once
    };
    std::optional<AfterUse> afterUse_;
};

}  // namespace kestrel
