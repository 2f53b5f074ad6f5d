#pragma once

// The relays this computer has paired with, as a client: where each one is, and the identity
// it gave this device. The keys live in the client's own secret store, never in this list.

#include <optional>
#include <string>
#include <vector>

#include "platform/secret_store.hpp"
#include "protocol/date.hpp"
#include "protocol/uuid.hpp"

namespace kestrel::agent {

struct PairedRelay {
    std::string relayName;
    std::string address;  // host:port as given at pairing
    UUID deviceID;        // this device's ID on that relay
    Date pairedAt;
};

// The list in $XDG_CONFIG_HOME/kestrel-agent/relays.json (0600, written atomically) and the keys
// in $XDG_DATA_HOME/kestrel-agent/secrets.json, under the client's own service name.
class PairedRelays {
public:
    static constexpr std::string_view keyService = "org.kestrel-relay.agent.psk";

    PairedRelays();
    PairedRelays(std::string listPath, SecretStore& secrets);

    std::vector<PairedRelay> list() const;
    // Stores the key first, then the entry; the entries of `replaced` go, with their keys.
    void add(const PairedRelay& relay, const SymmetricKey& key,
             const std::vector<UUID>& replaced = {});
    void remove(const UUID& deviceID);
    // The relay was found at another address (it keeps its name and this device's key).
    void updateAddress(const UUID& deviceID, const std::string& address);
    SymmetricKey key(const UUID& deviceID) const;

    // A relay by name or device ID; with nothing given, the one paired most recently. Throws
    // std::runtime_error with one line when none matches or a name is ambiguous.
    PairedRelay find(const std::optional<std::string>& nameOrID) const;

private:
    void write(const std::vector<PairedRelay>& relays) const;

    std::string listPath_;
    std::unique_ptr<SecretStore> ownedSecrets_;
    SecretStore* secrets_;
};

}  // namespace kestrel::agent
