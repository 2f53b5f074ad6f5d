// One connection from preamble to handshake, and the pairing that follows a pairing handshake.

#include <openssl/crypto.h>

#include "protocol/pairing.hpp"
#include "protocol/pairing_grant.hpp"
#include "protocol/relay_envelope.hpp"
#include "relay/display_name.hpp"
#include "relay/relay_listener.hpp"
#include "relay/relay_session.hpp"

namespace kestrel {
namespace {

// A rejected client confirm, rethrown so the session knows it was already reported.
struct SecureChannelFailure : std::system_error {
    explicit SecureChannelFailure(const std::system_error& error) : std::system_error(error) {}
};

// The source as the user knows it: IPv4 clients reach the dual-stack listener as IPv4-mapped
// IPv6 addresses, shown here as plain IPv4.
std::string sourceText(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

// Clears a buffer that held key material once it is no longer needed.
struct WipeOnExit {
    Bytes& bytes;
    ~WipeOnExit() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

std::optional<ResolvedPSK> RelayListener::resolvePSK(const ConnectionPreamble& preamble) {
    if (preamble.mode == ConnectionMode::pairing) {
        if (delegate_ == nullptr) return std::nullopt;
        const std::optional<std::string> code = delegate_->activePairingCode();
        if (!code) return std::nullopt;
        return ResolvedPSK{Pairing::bootstrapPSK(*code), std::nullopt};
    }
    if (!preamble.deviceID) return std::nullopt;
    const std::optional<PairedDevice> device = store_.device(*preamble.deviceID);
    if (!device) return std::nullopt;
    return ResolvedPSK{device->psk(), preamble.deviceID};
}

asio::awaitable<void> RelayListener::handleConnection(std::shared_ptr<Session> session) {
    std::optional<RelayListenerDelegate::PairingClaim> claim;
    bool pairingEnded = false;
    bool authenticated = false;
    std::string refusal;
    try {
        RelayConnectionIO io(session->socket);
        const ConnectionPreamble preamble =
            ConnectionPreamble::deserialize(co_await io.receive(maxPreambleLength));
        if (preamble.mode == ConnectionMode::pairing && delegate_ != nullptr) {
            delegate_->pairingConnection(sourceText(session->address));
        }
        std::optional<ResolvedPSK> resolved = resolvePSK(preamble);
        if (!resolved) {
            refusal = preamble.mode == ConnectionMode::pairing
                          ? "asked to pair, but no code is open"
                      : preamble.deviceID ? "unknown device " + preamble.deviceID->uuidString()
                                          : "no device ID";
            session->closeAfterDraining();
            reportRefusal(session, refusal);
            co_return;
        }
        session->deviceID = resolved->deviceID;
        Session::armDeadline(session, deadlines_.handshake);
        SecureChannel channel(SecureChannel::Role::server, std::move(resolved->psk));
        co_await handshake(session, io, channel, preamble, claim);

        session->disarmDeadline();
        authenticated = true;
        session->countedUnauthenticated = false;
        admission_.leave(session->id);
        if (preamble.mode == ConnectionMode::pairing) {
            co_await completePairing(session, io, channel, preamble.clientName, *claim);
            pairingEnded = true;
        } else {
            if (delegate_ != nullptr) delegate_->deviceConnected(*resolved->deviceID);
            // Revoked while its handshake ran: closed, not served under a stand-in name.
            if (const auto device = store_.device(*resolved->deviceID)) {
                RequestOrigin origin{device->displayName, device->deviceID,
                                     session->fromThisHost()};
                co_await serve(io, channel, std::move(origin));
            }
        }
    } catch (const SecureChannelFailure&) {
        // A rejected confirm: already reported as a failed attempt.
        pairingEnded = true;
        refusal = claim ? "wrong pairing code" : "failed the handshake (not the device's key)";
    } catch (const std::system_error& error) {
        // Any failure ends the session without an answer.
        refusal = error.code() == std::errc::connection_refused
                      ? error.what()
                      : "closed before authenticating (" + error.code().message() + ")";
    } catch (const std::exception& error) {
        refusal = error.what();
    }
    if (claim && !pairingEnded && delegate_ != nullptr) delegate_->pairingAbandoned(*claim);
    if (!authenticated) reportRefusal(session, refusal);
    session->close();
}

void RelayListener::reportRefusal(const std::shared_ptr<Session>& session,
                                  const std::string& reason) {
    if (delegate_ != nullptr) delegate_->connectionRefused(sourceText(session->address), reason);
}

asio::awaitable<void> RelayListener::handshake(
    const std::shared_ptr<Session>& session, RelayConnectionIO& io, SecureChannel& channel,
    const ConnectionPreamble& preamble, std::optional<RelayListenerDelegate::PairingClaim>& claim) {
    const Bytes clientHello = co_await io.receive(SecureChannel::clientHelloLength);
    if (!admission_.takeHandshake(session->address)) {
        throw std::system_error(std::make_error_code(std::errc::connection_refused),
                                "too many handshakes from this address");
    }
    const Bytes serverHello = channel.serverReceiveClientHello(clientHello);
    if (preamble.mode == ConnectionMode::pairing) {
        // Another pairing handshake is in progress, or the code was used: nothing is sent that
        // could be tested against guesses of the code.
        claim = delegate_ != nullptr ? delegate_->claimPairingCode(sourceText(session->address))
                                     : std::nullopt;
        if (!claim)
            throw std::system_error(std::make_error_code(std::errc::connection_refused),
                                    "the pairing code is in use by another handshake");
    }
    co_await io.send(serverHello);
    if (claim) Session::armDeadline(session, deadlines_.pairingConfirm);
    const Bytes clientConfirm = co_await io.receive(SecureChannel::clientConfirmLength);
    try {
        channel.serverReceiveClientConfirm(clientConfirm);
    } catch (const std::system_error& error) {
        if (claim && delegate_ != nullptr) delegate_->pairingAttemptFailed(*claim);
        throw SecureChannelFailure(error);
    }
}

asio::awaitable<void> RelayListener::completePairing(const std::shared_ptr<Session>& session,
                                                     RelayConnectionIO& io, SecureChannel& channel,
                                                     const std::string& clientName,
                                                     RelayListenerDelegate::PairingClaim claim) {
    // Cancelled while the handshake ran: the device gets no key at all.
    if (delegate_ == nullptr || !delegate_->pairingClaimValid(claim)) {
        throw std::system_error(std::make_error_code(std::errc::operation_canceled),
                                "pairing cancelled");
    }
    const PairedDevice device(UUID::random(), cleanDisplayName(clientName),
                              Pairing::generateLongTermPSK(), std::chrono::system_clock::now());
    Bytes grant = PairingGrant(device.deviceID, device.pskData, relayName_).serialized();
    const WipeOnExit wipeGrant{grant};
    Bytes envelope = RelayEnvelope(RelayMessageType::pairingGrant, grant, 1).serialized();
    const WipeOnExit wipeEnvelope{envelope};
    co_await io.send(channel.seal(envelope));
    Session::armDeadline(session, deadlines_.grantAcknowledgement);
    // Any message that authenticates is the acknowledgement; its content does not matter.
    channel.open(co_await io.receive());
    session->disarmDeadline();
    if (delegate_ != nullptr) delegate_->pairingCompleted(claim, device);
}

}  // namespace kestrel
