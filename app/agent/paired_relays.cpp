#include "app/agent/paired_relays.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>

#include "platform/atomic_file.hpp"
#include "platform/file_secret_store.hpp"
#include "platform/paths.hpp"
#include "protocol/json_value.hpp"

namespace kestrel::agent {
namespace {

std::string clientDirectory(const std::string& base) { return base + "/kestrel-agent"; }

nlohmann::json toJSON(const PairedRelay& relay) {
    return {{"relayName", relay.relayName},
            {"address", relay.address},
            {"deviceID", relay.deviceID.uuidString()},
            {"pairedAt", secondsSinceReferenceDate(relay.pairedAt)}};
}

PairedRelay fromJSON(const nlohmann::json& object) {
    const auto pairedAt = dateFromReferenceSeconds(json::requiredNumber(object, "pairedAt"));
    if (!pairedAt)
        throw DecodingFailure(DecodingError::dataCorrupted, "pairedAt", "date out of range");
    return {json::requiredString(object, "relayName"), json::requiredString(object, "address"),
            json::requiredUUID(object, "deviceID"), *pairedAt};
}

}  // namespace

PairedRelays::PairedRelays()
    : listPath_(clientDirectory(configHome()) + "/relays.json"),
      ownedSecrets_(
          std::make_unique<FileSecretStore>(clientDirectory(dataHome()) + "/secrets.json")),
      secrets_(ownedSecrets_.get()) {}

PairedRelays::PairedRelays(std::string listPath, SecretStore& secrets)
    : listPath_(std::move(listPath)), secrets_(&secrets) {}

std::vector<PairedRelay> PairedRelays::list() const {
    const std::optional<Bytes> text = readFile(listPath_);
    if (!text) return {};
    const nlohmann::json array = json::parse(*text);
    if (!array.is_array()) throw std::runtime_error(listPath_ + " is not a list of relays");
    std::vector<PairedRelay> relays;
    for (const nlohmann::json& entry : array) {
        if (!entry.is_object())
            throw std::runtime_error(listPath_ + " holds an entry that is not an object");
        relays.push_back(fromJSON(entry));
    }
    return relays;
}

void PairedRelays::write(const std::vector<PairedRelay>& relays) const {
    nlohmann::json array = nlohmann::json::array();
    for (const PairedRelay& relay : relays) array.push_back(toJSON(relay));
    ensurePrivateDirectory(parentDirectory(listPath_));
    writeFileAtomically(listPath_, asBytes(array.dump(2) + "\n"));
}

void PairedRelays::add(const PairedRelay& relay, const SymmetricKey& key,
                       const std::vector<UUID>& replaced) {
    std::vector<PairedRelay> relays = list();
    secrets_->saveWithLabel(keyService, relay.deviceID.uuidString(), key.bytes(),
                            "Kestrel agent: key for relay \u201C" + relay.relayName + "\u201D");
    std::erase_if(relays, [&](const PairedRelay& old) {
        return std::find(replaced.begin(), replaced.end(), old.deviceID) != replaced.end();
    });
    relays.push_back(relay);
    write(relays);
    for (const UUID& old : replaced) secrets_->remove(keyService, old.uuidString());
}

void PairedRelays::remove(const UUID& deviceID) {
    std::vector<PairedRelay> relays = list();
    std::erase_if(relays, [&](const PairedRelay& relay) { return relay.deviceID == deviceID; });
    write(relays);
    secrets_->remove(keyService, deviceID.uuidString());
}

void PairedRelays::updateAddress(const UUID& deviceID, const std::string& address) {
    std::vector<PairedRelay> relays = list();
    for (PairedRelay& relay : relays)
        if (relay.deviceID == deviceID) relay.address = address;
    write(relays);
}

SymmetricKey PairedRelays::key(const UUID& deviceID) const {
    std::optional<SymmetricKey> key = secrets_->load(keyService, deviceID.uuidString());
    if (!key)
        throw std::runtime_error("the key for device " + deviceID.uuidString() +
                                 " is missing; pair again");
    return std::move(*key);
}

PairedRelay PairedRelays::find(const std::optional<std::string>& nameOrID) const {
    const std::vector<PairedRelay> relays = list();
    if (relays.empty()) throw std::runtime_error("no relay is paired yet (kestrel-agent pair)");
    if (!nameOrID) return relays.back();
    const std::optional<UUID> id = UUID::fromString(*nameOrID);
    std::vector<PairedRelay> matches;
    std::copy_if(relays.begin(), relays.end(), std::back_inserter(matches),
                 [&](const PairedRelay& relay) {
                     return id ? relay.deviceID == *id
                               : relay.relayName == *nameOrID || relay.address == *nameOrID;
                 });
    if (matches.empty())
        throw std::runtime_error("no paired relay is called \"" + *nameOrID +
                                 "\" (see kestrel-agent list)");
    if (matches.size() > 1) {
        throw std::runtime_error(std::to_string(matches.size()) + " paired relays are called \"" +
                                 *nameOrID +
                                 "\"; name one by its device ID (see kestrel-agent list)");
    }
    return matches.front();
}

}  // namespace kestrel::agent
