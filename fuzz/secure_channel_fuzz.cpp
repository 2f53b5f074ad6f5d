// The relay's end of the secure channel fed a client hello, a client confirm and sealed frames
// taken from the input. Without a client that holds the key, the channel must never accept a
// confirm; with one, tampered frames must never open.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"

namespace {

using namespace kestrel;

// Takes a length-prefixed (one byte) piece of the input.
ByteView take(ByteView& input) {
    if (input.empty()) return {};
    const std::size_t length = std::min<std::size_t>(input[0], input.size() - 1);
    const ByteView piece = input.subspan(1, length);
    input = input.subspan(1 + length);
    return piece;
}

const SymmetricKey psk(Bytes(32, 0x5A));

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView input(data, size);
    if (input.empty()) return 0;
    const bool withRealClient = input[0] & 1;
    input = input.subspan(1);
    SecureChannel server(SecureChannel::Role::server, psk);
    SecureChannel client(SecureChannel::Role::client, psk);

    fuzz::parseExpectingOnlyDocumentedErrors([&] {
        if (withRealClient) {
            const Bytes serverHello = server.serverReceiveClientHello(client.clientHello());
            const Bytes genuine = client.clientReceiveServerHello(serverHello);
            Bytes confirm = genuine;
            const ByteView flips = take(input);
            for (std::size_t i = 0; i + 1 < flips.size(); i += 2)
                confirm[flips[i] % confirm.size()] ^= flips[i + 1];
            bool accepted = true;
            try {
                server.serverReceiveClientConfirm(confirm);
            } catch (const std::system_error&) {
                accepted = false;
            }
            // Exactly the genuine confirm is accepted.
            fuzz::check(accepted == (confirm == genuine));
            if (!accepted) return;
            while (!input.empty()) {
                const ByteView frame = take(input);
                bool opened = true;
                try {
                    server.open(frame);
                } catch (const std::system_error&) {
                    opened = false;
                }
                fuzz::check(!opened);  // the client sealed nothing, so nothing may open
            }
        } else {
            server.serverReceiveClientHello(take(input));
            server.serverReceiveClientConfirm(take(input));
            fuzz::check(false);  // a confirm from bytes that never saw the key was accepted
        }
    });
    return 0;
}
