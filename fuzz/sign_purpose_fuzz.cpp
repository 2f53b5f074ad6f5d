// What a sign request is for. The input is an agent message (or, when it is not a whole one,
// the data of a sign request with an empty key). Whatever the bytes, the description is one
// line of safe text and the purpose's length is the data's.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "fuzz_support.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "relay/sign_purpose.hpp"

namespace {

using namespace kestrel;

void check(ByteView keyBlob, ByteView data) {
    const SignPurpose purpose = signPurpose(keyBlob, data);
    fuzz::require(purpose.dataLength == data.size(), "the length is not the data's");
    fuzz::require(purpose.kind != SignPurpose::Kind::data || purpose.name.empty(),
                  "data with a name");
    fuzz::require(purpose.name.find('\0') == std::string::npos, "a name with NUL");
    const std::string description = purpose.description();
    fuzz::require(!description.empty(), "an empty description");
    fuzz::require(
        std::none_of(description.begin(), description.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }),
        "a control character in the description");
    fuzz::require(decodeUTF8Lossy(asBytes(description)) == description,
                  "the description is not valid UTF-8");
    fuzz::require(isKeyFingerprint(keyFingerprint(keyBlob)), "a fingerprint of the wrong form");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    const auto message = SSHAgentProtocol::deframe(input);
    if (message && !message->body.empty() && message->body.front() == 13) {
        try {
            const auto request = SSHAgentProtocol::decodeSignRequest(message->body);
            check(request.keyBlob, request.data);
            return 0;
        } catch (const std::system_error&) {
            // a cut sign request: taken as data below
        }
    }
    check({}, input);
    return 0;
}
