// What it costs a device to try every pairing code offline. Whoever connects while pairing is
// open and sends a client hello gets back a server hello that ends in "server-confirm" sealed
// under a key derived from the code. Everything else that goes into that key (its own X25519
// key, the relay's public key, both nonces) the device knows, so it can test all 10^6 codes
// without talking to the relay again. The relay's defence is the deadline for the client
// confirm; this program prints the figure that deadline has to be weighed against.
//
//   pairing_code_search [--threads N]
//
// It plays the relay (a server SecureChannel under the bootstrap key of a random code), answers
// one client hello, then searches the way a well-prepared attacker on a CPU would:
//   - The bootstrap key of a code does not depend on the session, so one table of all 10^6 keys
//     (32 MB) serves every session. Its build is timed, but it is paid once, before any
//     connection.
//   - Within a session the X25519 secret and the salt (client nonce | server nonce) are fixed,
//     so the HMAC pad states keyed by the salt are computed once.
//   - Each guess is then seven SHA-256 compressions: HKDF-extract (the block psk | secret, its
//     padding block, the outer hash) and HKDF-expand of the first output block (the two pads of
//     the new key, the inner and the outer hash), each through OpenSSL's one-block
//     SHA256_Transform, which uses SHA-NI or AVX2 where the processor has them. After that comes
//     one ChaCha20 block (counter 1, the all-zero nonce of message counter 0, as
//     ChaCha20-Poly1305 encrypts its first plaintext block) whose first 14 bytes, XORed with the
//     sealed confirm, must read "server-confirm". Poly1305 is not needed: 112 known bits leave
//     one candidate, which the protocol library then opens in full, and the relay accepts a
//     client confirm sealed with it.
// The search covers the whole code space instead of stopping at the code, so the time printed
// for the whole space is measured, not extrapolated; finding a random code takes half of it on
// average. A GPU evaluates the same seven compressions and one ChaCha20 block for thousands of
// codes at once and is faster still; this program measures only what a CPU does.
//
// Before it measures, it checks the fast path against the protocol library (bootstrap keys,
// HKDF-extract and -expand for a few guesses, the ChaCha20 keystream) and stops with exit status
// 1 if they differ; it also exits 1 unless the search finds exactly the relay's code.

// SHA256_Transform is deprecated in OpenSSL 3 but still exported; it is the only public way to
// run one compression on a chosen state, which is the whole point of this program.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_arguments.hpp"
#include "protocol/crypto.hpp"
#include "protocol/pairing.hpp"
#include "protocol/secure_channel.hpp"
#include "relay/relay_listener.hpp"

namespace {

using namespace kestrel;

constexpr const char* usageText =
    "usage: pairing_code_search [--threads N]\n"
    "  Plays a relay holding a random pairing code, captures one server hello and times an\n"
    "  offline search of all 1,000,000 codes against it.\n"
    "  --threads N  search with N threads (1 to 1024; default 1)\n"
    "  Exit status: 0 when the relay's code was found, 1 when a self-check failed or the code\n"
    "  was not found, 2 for bad arguments.\n";

constexpr unsigned maxThreads = 1024;
constexpr std::string_view bootstrapSalt = "tidewell-relay-pairing-v1";
constexpr std::string_view bootstrapInfo = "bootstrap-psk";
constexpr std::string_view serverToClientInfo = "tidewell-relay1 s2c";
constexpr std::string_view clientToServerInfo = "tidewell-relay1 c2s";
constexpr std::string_view serverConfirmText = "server-confirm";
constexpr std::string_view clientConfirmText = "client-confirm";
constexpr std::size_t confirmLength = serverConfirmText.size();

using cli::UsageError;

struct SelfCheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --- SHA-256 compression and HMAC on one-block messages ------------------------------------

using Sha256State = std::array<std::uint32_t, 8>;
using Block = std::array<std::uint8_t, 64>;
using Digest = std::array<std::uint8_t, 32>;

// FIPS 180-4, 5.3.3.
constexpr Sha256State sha256Initial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// One compression of a 64-byte block into the state. SHA256_Transform reads and writes only the
// chaining value h of the context.
void compress(Sha256State& state, const Block& block) {
    SHA256_CTX context;
    std::copy(state.begin(), state.end(), context.h);
    SHA256_Transform(&context, block.data());
    std::copy(context.h, context.h + state.size(), state.begin());
}

// The state as digest bytes: each word big-endian. Written with byte swaps because GCC turns
// the portable shift-per-byte loop into a long run of shuffles, which cost a large share of the
// time per guess.
void storeDigest(const Sha256State& state, std::uint8_t* out) {
    static_assert(std::endian::native == std::endian::little);
    for (std::size_t i = 0; i < state.size(); ++i) {
        const std::uint32_t bigEndian = __builtin_bswap32(state[i]);
        std::memcpy(out + 4 * i, &bigEndian, sizeof bigEndian);
    }
}

Digest digestOf(const Sha256State& state) {
    Digest digest;
    storeDigest(state, digest.data());
    return digest;
}

// The last block of a message: its final bytes (at most 55), the 0x80 marker, zeros, and the
// length of the whole message in bits, big-endian (FIPS 180-4, 5.1.1).
Block paddedBlock(ByteView tail, std::uint64_t messageBytes) {
    if (tail.size() > 55) throw std::logic_error("paddedBlock: tail longer than 55 bytes");
    Block block{};
    std::copy(tail.begin(), tail.end(), block.begin());
    block[tail.size()] = 0x80;
    const std::uint64_t bits = messageBytes * 8;
    for (int b = 0; b < 8; ++b) block[63 - b] = static_cast<std::uint8_t>(bits >> (8 * b));
    return block;
}

// The states after HMAC's first block, key XOR ipad and key XOR opad (RFC 2104). The key is at
// most one block long; every key here is.
struct HmacPads {
    Sha256State inner;
    Sha256State outer;
};

HmacPads hmacPads(ByteView key) {
    Block inner;
    Block outer;
    inner.fill(0x36);
    outer.fill(0x5c);
    for (std::size_t i = 0; i < key.size(); ++i) {
        inner[i] ^= key[i];
        outer[i] ^= key[i];
    }
    HmacPads pads{sha256Initial, sha256Initial};
    compress(pads.inner, inner);
    compress(pads.outer, outer);
    return pads;
}

// The outer hash, given the inner hash's final state: key pad block plus one block holding the
// 32-byte inner digest (96 message bytes).
const Block hmacOuterTemplate = paddedBlock(Digest{}, 64 + 32);

Digest hmacOuter(const HmacPads& pads, const Sha256State& inner) {
    Block block = hmacOuterTemplate;
    storeDigest(inner, block.data());
    Sha256State state = pads.outer;
    compress(state, block);
    return digestOf(state);
}

// HMAC of a message short enough (at most 55 bytes) to end in the block after the key pad,
// given as that padded block.
Digest hmacOneBlock(const HmacPads& pads, const Block& messageBlock) {
    Sha256State inner = pads.inner;
    compress(inner, messageBlock);
    return hmacOuter(pads, inner);
}

// The padded block of HKDF-expand's first round, info | 0x01 (RFC 5869, 2.3).
Block expandFirstBlock(std::string_view info) {
    Bytes message = toBytes(info);
    message.push_back(0x01);
    return paddedBlock(message, 64 + message.size());
}

// --- ChaCha20 (RFC 8439, 2.3) --------------------------------------------------------------

using ChaChaKey = std::array<std::uint8_t, 32>;
using ChaChaNonce = std::array<std::uint8_t, 12>;

std::uint32_t loadLittleEndian(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

void quarterRound(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

Block chacha20Block(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce) {
    std::array<std::uint32_t, 16> initial = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) initial[4 + i] = loadLittleEndian(&key[4 * i]);
    initial[12] = counter;
    for (int i = 0; i < 3; ++i) initial[13 + i] = loadLittleEndian(&nonce[4 * i]);
    std::array<std::uint32_t, 16> x = initial;
    for (int round = 0; round < 10; ++round) {
        quarterRound(x, 0, 4, 8, 12);
        quarterRound(x, 1, 5, 9, 13);
        quarterRound(x, 2, 6, 10, 14);
        quarterRound(x, 3, 7, 11, 15);
        quarterRound(x, 0, 5, 10, 15);
        quarterRound(x, 1, 6, 11, 12);
        quarterRound(x, 2, 7, 8, 13);
        quarterRound(x, 3, 4, 9, 14);
    }
    Block out;
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t word = x[i] + initial[i];
        for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return out;
}

// --- Bootstrap keys --------------------------------------------------------------------------

using CodeDigits = std::array<std::uint8_t, 6>;

CodeDigits digitsOf(std::uint32_t code) {
    CodeDigits digits;
    for (int i = 5; i >= 0; --i, code /= 10) digits[i] = static_cast<std::uint8_t>('0' + code % 10);
    return digits;
}

std::string codeText(std::uint32_t code) {
    const CodeDigits digits = digitsOf(code);
    return {digits.begin(), digits.end()};
}

// HKDF-SHA256 of the six ASCII digits under the bootstrap salt and info, six compressions a
// code. Pairing::bootstrapPSK keeps only a code's numeric characters, which for six ASCII
// digits are the digits themselves.
class BootstrapDeriver {
public:
    BootstrapDeriver()
        : saltPads_(hmacPads(asBytes(bootstrapSalt))),
          infoBlock_(expandFirstBlock(bootstrapInfo)) {}

    Digest key(std::uint32_t code) const {
        const Digest prk = hmacOneBlock(saltPads_, paddedBlock(digitsOf(code), 64 + 6));
        return hmacOneBlock(hmacPads(prk), infoBlock_);
    }

private:
    HmacPads saltPads_;
    Block infoBlock_;
};

// Runs work(first, last, index) on `threads` threads, each over its own contiguous share of
// the code space, and waits for all of them.
void forEachShare(unsigned threads,
                  const std::function<void(std::uint32_t, std::uint32_t, unsigned)>& work) {
    const auto boundary = [threads](unsigned index) {
        return static_cast<std::uint32_t>(std::uint64_t{Pairing::codeSpace} * index / threads);
    };
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { work(boundary(t), boundary(t + 1), t); });
    for (std::thread& worker : workers) worker.join();
}

using KeyTable = std::vector<Digest>;

// All 10^6 bootstrap keys, indexed by code.
KeyTable buildTable(unsigned threads) {
    KeyTable table(Pairing::codeSpace);
    const BootstrapDeriver deriver;
    forEachShare(threads, [&](std::uint32_t first, std::uint32_t last, unsigned) {
        for (std::uint32_t code = first; code < last; ++code) table[code] = deriver.key(code);
    });
    return table;
}

// --- The session the attacker holds ----------------------------------------------------------

// One pairing handshake up to the server hello: the relay's end, still waiting for a client
// confirm, and what the attacker knows.
struct Capture {
    std::uint32_t relayCode;
    SecureChannel relay;
    Bytes clientHello;
    Bytes serverHello;
    SymmetricKey shared;  // the attacker's X25519 secret with the relay
    Bytes salt;           // client nonce | server nonce

    Bytes transcript() const {
        Bytes bytes = clientHello;
        append(bytes, ByteView(serverHello).first(SecureChannel::clientHelloLength));
        return bytes;
    }
    ByteView sealedConfirm() const {
        return ByteView(serverHello).subspan(SecureChannel::clientHelloLength, confirmLength);
    }
    ByteView confirmTag() const { return ByteView(serverHello).last(SecureChannel::tagLength); }
};

Capture captureServerHello() {
    const std::uint32_t code = Pairing::secureCodeSource();
    SecureChannel relay(SecureChannel::Role::server, Pairing::bootstrapPSK(codeText(code)));
    const X25519PrivateKey attacker = X25519PrivateKey::generate();
    Bytes hello = attacker.publicKey();
    Bytes nonce(SecureChannel::nonceLength);
    fillRandom(nonce);
    append(hello, nonce);
    Bytes serverHello = relay.serverReceiveClientHello(hello);
    const ByteView serverPart = serverHello;
    SymmetricKey shared = attacker.sharedSecret(serverPart.first(SecureChannel::publicKeyLength));
    Bytes salt = nonce;
    append(salt, serverPart.subspan(SecureChannel::publicKeyLength, SecureChannel::nonceLength));
    return {code,
            std::move(relay),
            std::move(hello),
            std::move(serverHello),
            std::move(shared),
            std::move(salt)};
}

// --- The per-guess test ----------------------------------------------------------------------

struct GuessKeys {
    Digest prk;
    Digest serverToClient;
};

// Everything about one session that does not depend on the guess, prepared once.
class SessionSearch {
public:
    explicit SessionSearch(const Capture& capture)
        : saltPads_(hmacPads(capture.salt)),
          extractPadding_(paddedBlock({}, 64 + 64)),
          expandBlock_(expandFirstBlock(serverToClientInfo)) {
        std::copy(capture.shared.bytes().begin(), capture.shared.bytes().end(),
                  extractMessage_.begin() + 32);
        const ByteView sealed = capture.sealedConfirm();
        for (std::size_t i = 0; i < confirmLength; ++i)
            expectedKeystream_[i] = sealed[i] ^ static_cast<std::uint8_t>(serverConfirmText[i]);
    }

    // HKDF-extract and the first expand block for one bootstrap key: seven compressions.
    GuessKeys keys(const Digest& psk) const {
        Block message = extractMessage_;
        std::copy(psk.begin(), psk.end(), message.begin());
        Sha256State inner = saltPads_.inner;
        compress(inner, message);
        compress(inner, extractPadding_);
        const Digest prk = hmacOuter(saltPads_, inner);
        return {prk, hmacOneBlock(hmacPads(prk), expandBlock_)};
    }

    // Whether the server confirm decrypts to its known text under the key of this guess.
    bool matches(const Digest& psk) const {
        const Block keystream = chacha20Block(keys(psk).serverToClient, 1, ChaChaNonce{});
        return std::equal(expectedKeystream_.begin(), expectedKeystream_.end(), keystream.begin());
    }

private:
    HmacPads saltPads_;
    Block extractMessage_{};  // psk (filled per guess) | X25519 secret
    Block extractPadding_;
    Block expandBlock_;
    std::array<std::uint8_t, confirmLength> expectedKeystream_{};
};

// Codes in [first, last) whose keys decrypt the server confirm to its known text.
std::vector<std::uint32_t> searchRange(const SessionSearch& search, const KeyTable& table,
                                       std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> candidates;
    for (std::uint32_t code = first; code < last; ++code) {
        if (search.matches(table[code])) candidates.push_back(code);
    }
    return candidates;
}

std::vector<std::uint32_t> searchAll(const SessionSearch& search, const KeyTable& table,
                                     unsigned threads) {
    std::vector<std::vector<std::uint32_t>> found(threads);
    forEachShare(threads, [&](std::uint32_t first, std::uint32_t last, unsigned index) {
        found[index] = searchRange(search, table, first, last);
    });
    std::vector<std::uint32_t> all;
    for (const auto& part : found) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// --- Checks against the protocol library ----------------------------------------------------

// psk | X25519 secret, the channel's input key material.
Bytes keyMaterial(ByteView psk, const Capture& capture) {
    const ByteView shared = capture.shared.bytes();
    Bytes material(psk.size() + shared.size());
    std::copy(psk.begin(), psk.end(), material.begin());
    std::copy(shared.begin(), shared.end(), material.begin() + static_cast<long>(psk.size()));
    return material;
}

// RFC 5869 HKDF-extract is HMAC(salt, input key material); the protocol library only exposes
// extract and expand together, so the PRK is checked against OpenSSL's HMAC.
Digest referencePrk(ByteView psk, const Capture& capture) {
    const Bytes material = keyMaterial(psk, capture);
    Digest prk;
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), capture.salt.data(), static_cast<int>(capture.salt.size()),
             material.data(), material.size(), prk.data(), &length) == nullptr ||
        length != prk.size()) {
        throw SelfCheckFailed("OpenSSL HMAC-SHA256 failed");
    }
    return prk;
}

void require(bool condition, const std::string& what) {
    if (!condition) throw SelfCheckFailed(what);
}

bool sameBytes(ByteView a, ByteView b) { return std::ranges::equal(a, b); }

// The fast path against the protocol library for a few codes: bootstrap key, PRK, T(1) and the
// ChaCha20 keystream the confirm was sealed with.
void selfCheck(const Capture& capture, const SessionSearch& search) {
    const BootstrapDeriver deriver;
    const Bytes transcript = capture.transcript();
    const Bytes zeros(64, 0);
    std::vector<std::uint32_t> codes = {0, 999'999};
    for (int i = 0; i < 4; ++i) codes.push_back(Pairing::secureCodeSource());
    for (const std::uint32_t code : codes) {
        const std::string text = codeText(code);
        const Digest psk = deriver.key(code);
        require(sameBytes(psk, Pairing::bootstrapPSK(text).bytes()),
                "bootstrap key of " + text + " differs from Pairing::bootstrapPSK");
        const GuessKeys keys = search.keys(psk);
        require(sameBytes(keys.prk, referencePrk(psk, capture)),
                "HKDF-extract of " + text + " differs from HMAC-SHA256");
        const SymmetricKey expected =
            hkdfSHA256(keyMaterial(psk, capture), capture.salt, asBytes(serverToClientInfo), 32);
        require(sameBytes(keys.serverToClient, expected.bytes()),
                "HKDF-expand of " + text + " differs from hkdfSHA256");
        const Bytes sealed =
            ChaChaPoly::seal(expected, SecureChannel::messageNonce(0), zeros, transcript);
        require(sameBytes(chacha20Block(keys.serverToClient, 1, ChaChaNonce{}),
                          ByteView(sealed).first(64)),
                "ChaCha20 keystream of " + text + " differs from ChaCha20-Poly1305");
    }
}

void checkTable(const KeyTable& table) {
    for (const std::uint32_t code : {0u, 1u, 123'456u, 999'998u, 999'999u}) {
        require(sameBytes(table[code], Pairing::bootstrapPSK(codeText(code)).bytes()),
                "table entry of " + codeText(code) + " differs from Pairing::bootstrapPSK");
    }
}

// A candidate is the code when the protocol library opens the server confirm with its key (tag
// and all) and the relay accepts a client confirm sealed with it, as a client would send.
bool completesHandshake(Capture& capture, const Digest& psk) {
    const Bytes material = keyMaterial(psk, capture);
    const Bytes transcript = capture.transcript();
    try {
        const SymmetricKey serverToClient =
            hkdfSHA256(material, capture.salt, asBytes(serverToClientInfo), 32);
        const Bytes opened =
            ChaChaPoly::open(serverToClient, SecureChannel::messageNonce(0),
                             capture.sealedConfirm(), capture.confirmTag(), transcript);
        if (!sameBytes(opened, asBytes(serverConfirmText))) return false;
        const SymmetricKey clientToServer =
            hkdfSHA256(material, capture.salt, asBytes(clientToServerInfo), 32);
        capture.relay.serverReceiveClientConfirm(
            ChaChaPoly::seal(clientToServer, SecureChannel::messageNonce(0),
                             asBytes(clientConfirmText), transcript));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// --- Command line and report -----------------------------------------------------------------

unsigned parseThreads(int argc, char** argv) {
    const kestrel::cli::Arguments arguments =
        kestrel::bench::readArguments(argc, argv, {{"threads", true}}, usageText);
    return static_cast<unsigned>(arguments.integer("threads", 1, maxThreads).value_or(1));
}

double processorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall-clock and processor seconds of one call.
struct Timing {
    double wall;
    double processor;
};

Timing timed(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    const double processorStart = processorSeconds();
    work();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            processorSeconds() - processorStart};
}

void printMachine() {
    double load[3] = {};
    const int samples = getloadavg(load, 3);
    std::printf("machine: %u processors online", std::thread::hardware_concurrency());
    if (samples == 3) std::printf(", load average %.2f %.2f %.2f", load[0], load[1], load[2]);
    std::printf("\n");
}

void printSearch(unsigned threads, const Timing& search) {
    const double space = Pairing::codeSpace;
    std::printf(
        "search: %.0f guesses in %.3f s on %u thread(s): %.0f guesses/s (%.0f per "
        "processor-second)\n",
        space, search.wall, threads, space / search.wall, space / search.processor);
    std::printf("whole code space on %u thread(s): %.3f s\n", threads, search.wall);
    std::printf("expected time to find a code (half the space): %.3f s\n", search.wall / 2);
    const double deadline =
        std::chrono::duration<double>(RelayListener::Deadlines{}.pairingConfirm).count();
    std::printf(
        "within the relay's %.2f s pairing confirm deadline: %.0f%% of the code space at "
        "this rate\n",
        deadline, std::min(100.0, 100.0 * deadline / search.wall));
}

int run(unsigned threads) {
    printMachine();
    Capture capture = captureServerHello();
    const SessionSearch search(capture);
    selfCheck(capture, search);
    std::printf(
        "self-check: bootstrap keys, HKDF-extract, HKDF-expand and ChaCha20 agree with "
        "the protocol library\n");

    KeyTable table;
    const Timing build = timed([&] { table = buildTable(threads); });
    checkTable(table);
    std::printf(
        "table: %u bootstrap keys, %.1f MB, built in %.3f s on %u thread(s) (once, "
        "before any session)\n",
        Pairing::codeSpace, static_cast<double>(table.size() * sizeof(Digest)) / 1e6, build.wall,
        threads);

    std::vector<std::uint32_t> candidates;
    const Timing searchTime = timed([&] { candidates = searchAll(search, table, threads); });
    printSearch(threads, searchTime);

    if (candidates.size() != 1) {
        std::fprintf(stderr, "pairing_code_search: the search found %zu candidates, not one\n",
                     candidates.size());
        return 1;
    }
    if (candidates[0] != capture.relayCode) {
        std::fprintf(stderr, "pairing_code_search: the search found %s, not the relay's code %s\n",
                     codeText(candidates[0]).c_str(), codeText(capture.relayCode).c_str());
        return 1;
    }
    if (!completesHandshake(capture, table[candidates[0]])) {
        std::fprintf(stderr,
                     "pairing_code_search: the protocol library did not confirm the code "
                     "the search found\n");
        return 1;
    }
    std::printf(
        "found: the relay's code; the protocol library opened its server confirm and "
        "the relay accepted the attacker's client confirm\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parseThreads(argc, argv));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "pairing_code_search: %s\n", error.what());
        return 2;
    } catch (const SelfCheckFailed& error) {
        std::fprintf(stderr, "pairing_code_search: self-check failed: %s\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pairing_code_search: %s\n", error.what());
        return 1;
    }
}
