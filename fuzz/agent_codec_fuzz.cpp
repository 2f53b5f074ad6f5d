// The SSH-agent message codec: framing, classification and the three body decoders. A whole
// message at the start of the input is deframed and its body decoded; otherwise the input is
// taken as a body. What decodes must encode back to a message that decodes equal.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <system_error>
#include <vector>

#include "fuzz_support.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "protocol/ssh_wire.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::SSHAgentProtocol;

bool startsWith(ByteView bytes, ByteView prefix) {
    return prefix.size() <= bytes.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// deframe checked against the framing rule: a big-endian uint32 length, then that many bytes.
void checkDeframe(ByteView input, const std::optional<Deframed>& message) {
    if (input.size() < 4) {
        fuzz::require(!message, "deframed a message without a whole length");
        return;
    }
    const std::uint64_t length = std::uint64_t{input[0]} << 24 | std::uint64_t{input[1]} << 16 |
                                 std::uint64_t{input[2]} << 8 | input[3];
    fuzz::require(message.has_value() == (input.size() - 4 >= length),
                  "deframe disagrees with the length prefix");
    if (!message) return;
    fuzz::require(message->consumed == length + 4, "consumed is not length + 4");
    fuzz::require(startsWith(input.subspan(4), message->body) && message->body.size() == length,
                  "deframed body is not the bytes after the length");
    fuzz::require(frame(message->body) == Bytes(input.begin(), input.begin() + length + 4),
                  "frame(body) does not give back the message");
}

void checkClassification(ByteView body) {
    try {
        const SSHAgentMessageType type = messageType(body);
        fuzz::require(!body.empty() && static_cast<std::uint8_t>(type) == body[0],
                      "messageType is not the first byte");
        fuzz::require(isForwardable(type) == (type == SSHAgentMessageType::requestIdentities ||
                                              type == SSHAgentMessageType::signRequest),
                      "isForwardable wrong");
    } catch (const SSHAgentProtocolFailure& failure) {
        if (body.empty()) {
            fuzz::require(failure.code() == SSHAgentProtocolError::empty, "empty body misreported");
            return;
        }
        fuzz::require(failure.code() == SSHAgentProtocolError::unknownMessageType &&
                          failure.messageByte() == body[0] && !sshAgentMessageType(body[0]),
                      "a known message number was refused");
    }
}

// The decoder's result, or none when it failed as documented: truncated input, another message
// number (carried in the error), or too many identities.
template <typename Decode>
auto decodeOrNone(ByteView body, SSHAgentMessageType expected, Decode decode)
    -> std::optional<decltype(decode(body))> {
    try {
        return decode(body);
    } catch (const SSHAgentProtocolFailure& failure) {
        if (failure.code() == SSHAgentProtocolError::unexpectedMessageType) {
            fuzz::require(!body.empty() && failure.messageByte() == body[0] &&
                              body[0] != static_cast<std::uint8_t>(expected),
                          "unexpectedMessageType for the expected type");
        } else {
            fuzz::require(failure.code() == SSHAgentProtocolError::malformed &&
                              expected == SSHAgentMessageType::identitiesAnswer,
                          "unexpected agent protocol error from a decoder");
        }
    } catch (const std::system_error& error) {
        if (error.code() != SSHWireError::truncated) throw;
    }
    return std::nullopt;
}

// The body of an encoder's framed message.
Bytes bodyOf(const Bytes& framed) {
    const auto message = deframe(framed);
    fuzz::require(message && message->consumed == framed.size(), "an encoder's frame is broken");
    return message->body;
}

void checkIdentitiesAnswer(ByteView body) {
    const auto identities =
        decodeOrNone(body, SSHAgentMessageType::identitiesAnswer, decodeIdentitiesAnswer);
    if (!identities) return;
    fuzz::require(identities->size() <= maxIdentities, "more identities than allowed");
    // Comments were made valid UTF-8 on the way in, so they travel unchanged from here on.
    const Bytes again = bodyOf(encodeIdentitiesAnswer(*identities));
    fuzz::require(decodeIdentitiesAnswer(again) == *identities,
                  "identities answer does not decode back equal");
}

void checkSignRequest(ByteView body) {
    const auto request = decodeOrNone(body, SSHAgentMessageType::signRequest, decodeSignRequest);
    if (!request) return;
    // Every field is kept exactly, so the encoding is the part of the body that was read.
    const Bytes again = bodyOf(encodeSignRequest(request->keyBlob, request->data, request->flags));
    fuzz::require(startsWith(body, again), "sign request does not encode back to its bytes");
    const SignRequest decoded = decodeSignRequest(again);
    fuzz::require(decoded.keyBlob == request->keyBlob && decoded.data == request->data &&
                      decoded.flags == request->flags,
                  "sign request does not decode back equal");
}

void checkSignResponse(ByteView body) {
    const auto signature =
        decodeOrNone(body, SSHAgentMessageType::signResponse, decodeSignResponse);
    if (!signature) return;
    const Bytes again = bodyOf(encodeSignResponse(*signature));
    fuzz::require(startsWith(body, again), "sign response does not encode back to its bytes");
    fuzz::require(decodeSignResponse(again) == *signature,
                  "sign response does not decode back equal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    const std::optional<Deframed> message = deframe(input);
    checkDeframe(input, message);
    const ByteView body = message ? ByteView(message->body) : input;
    checkClassification(body);
    checkIdentitiesAnswer(body);
    checkSignRequest(body);
    checkSignResponse(body);
    return 0;
}
