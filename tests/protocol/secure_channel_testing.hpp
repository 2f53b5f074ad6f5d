#pragma once

#include "protocol/secure_channel.hpp"

namespace kestrel {

// Test-only access to SecureChannel: fixed ephemeral keys for known-answer tests, and counters
// set near their limit.
class SecureChannelTesting {
public:
    static SecureChannel make(SecureChannel::Role role, SymmetricKey psk,
                              ByteView ephemeralPrivateKey, Bytes nonce) {
        return SecureChannel(role, std::move(psk),
                             X25519PrivateKey::fromRawRepresentation(ephemeralPrivateKey),
                             std::move(nonce));
    }
    static void setSendCounter(SecureChannel& channel, std::uint64_t value) {
        channel.sendCounter_ = value;
    }
    static void setReceiveCounter(SecureChannel& channel, std::uint64_t value) {
        channel.receiveCounter_ = value;
    }
};

}  // namespace kestrel
