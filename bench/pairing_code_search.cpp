// How fast a device that captured one server hello of a pairing handshake can try every
// six-digit code offline. The relay allows one handshake per code and a short deadline for its
// confirm; this is the figure that deadline has to be weighed against.
//
//   pairing_code_search [--threads N]
//
// It plays both sides: a relay end holding a random code answers an attacker's client hello, then
// the attacker searches the whole code space the cheapest way the protocol allows (the X25519
// secret does not depend on the code, so it is computed once; each guess costs the bootstrap
// key, one HKDF and one ChaCha20-Poly1305 open).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/crypto.hpp"
#include "protocol/pairing.hpp"
#include "protocol/secure_channel.hpp"

namespace {

using namespace kestrel;

struct Capture {
    Bytes clientHello;
    Bytes serverHello;
    SymmetricKey shared;
};

Capture captureServerHello(const std::string& code) {
    SecureChannel relay(SecureChannel::Role::server, Pairing::bootstrapPSK(code));
    const X25519PrivateKey attacker = X25519PrivateKey::generate();
    Bytes hello = attacker.publicKey();
    Bytes nonce(16);
    fillRandom(nonce);
    append(hello, nonce);
    Bytes serverHello = relay.serverReceiveClientHello(hello);
    SymmetricKey shared = attacker.sharedSecret(ByteView(serverHello).first(32));
    return {std::move(hello), std::move(serverHello), std::move(shared)};
}

bool guessMatches(const Capture& capture, const std::string& guess) {
    const SymmetricKey psk = Pairing::bootstrapPSK(guess);
    Bytes material(psk.bytes().begin(), psk.bytes().end());
    append(material, capture.shared.bytes());
    Bytes salt(capture.clientHello.begin() + 32, capture.clientHello.end());
    append(salt, ByteView(capture.serverHello).subspan(32, 16));
    const SymmetricKey serverToClient =
        hkdfSHA256(material, salt, asBytes("tidewell-relay1 s2c"), 32);
    Bytes transcript = capture.clientHello;
    append(transcript, ByteView(capture.serverHello).first(48));
    try {
        ChaChaPoly::open(serverToClient, SecureChannel::messageNonce(0),
                         ByteView(capture.serverHello).subspan(48, 14),
                         ByteView(capture.serverHello).subspan(62, 16), transcript);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned threads = 1;
    if (argc == 3 && std::strcmp(argv[1], "--threads") == 0)
        threads = std::max(1, std::atoi(argv[2]));
    const std::string code = Pairing::generateCode(Pairing::secureCodeSource);
    const Capture capture = captureServerHello(code);

    std::atomic<bool> found{false};
    std::atomic<std::uint32_t> tried{0};
    std::string answer;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (std::uint32_t value = t; value < Pairing::codeSpace && !found; value += threads) {
                const std::string guess = Pairing::generateCode([value] { return value; });
                tried.fetch_add(1, std::memory_order_relaxed);
                if (guessMatches(capture, guess)) {
                    answer = guess;
                    found = true;
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = tried / seconds;
    std::printf("threads %u: found %s after %u guesses in %.2f s (%.0f guesses/s)\n", threads,
                answer == code ? "the code" : "NOTHING", tried.load(), seconds, rate);
    std::printf("whole code space on %u thread(s): %.2f s\n", threads, Pairing::codeSpace / rate);
    return answer == code ? 0 : 1;
}
