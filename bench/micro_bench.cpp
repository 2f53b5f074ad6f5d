// kestrel-micro-bench: what the protocol's own steps cost on one core, without sockets: sealing
// and opening a message of the secure channel, the relay's side of a handshake, an envelope, the
// key a pairing code gives, and the framing. kestrel-relay-bench runs it and prints its figures
// with the end-to-end ones; run alone, it takes Google Benchmark's options.

#include <benchmark/benchmark.h>

#include <vector>

#include "protocol/pairing.hpp"
#include "protocol/relay_envelope.hpp"
#include "protocol/secure_channel.hpp"
#include "relay/relay_connection_io.hpp"

namespace {

using namespace kestrel;

// Both ends of an established channel.
struct ChannelPair {
    SymmetricKey psk = SymmetricKey::random(32);
    SecureChannel client{SecureChannel::Role::client, psk};
    SecureChannel server{SecureChannel::Role::server, psk};

    ChannelPair() {
        const Bytes serverHello = server.serverReceiveClientHello(client.clientHello());
        server.serverReceiveClientConfirm(client.clientReceiveServerHello(serverHello));
    }
};

void seal(benchmark::State& state) {
    ChannelPair channels;
    const Bytes message(static_cast<std::size_t>(state.range(0)), 0x42);
    for (auto _ : state) benchmark::DoNotOptimize(channels.client.seal(message));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(seal)->Arg(64)->Arg(1024)->Arg(256 * 1024);

void open(benchmark::State& state) {
    ChannelPair channels;
    const Bytes message(static_cast<std::size_t>(state.range(0)), 0x42);
    // Each counter opens once: messages are sealed ahead in batches, outside the timing.
    std::vector<Bytes> sealed;
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == sealed.size()) {
            state.PauseTiming();
            sealed.clear();
            for (int i = 0; i < 256; ++i) sealed.push_back(channels.client.seal(message));
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(channels.server.open(sealed[next++]));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(open)->Arg(64)->Arg(1024)->Arg(256 * 1024);

// The relay's work for one paired connection: its ephemeral key, the client hello (X25519 and the
// key schedule), the server hello, and checking the client confirm. The client's part is not
// timed.
void serverHandshake(benchmark::State& state) {
    const SymmetricKey psk = SymmetricKey::random(32);
    for (auto _ : state) {
        state.PauseTiming();
        SecureChannel client(SecureChannel::Role::client, psk);
        const Bytes clientHello = client.clientHello();
        state.ResumeTiming();
        SecureChannel server(SecureChannel::Role::server, psk);
        const Bytes serverHello = server.serverReceiveClientHello(clientHello);
        state.PauseTiming();
        const Bytes confirm = client.clientReceiveServerHello(serverHello);
        state.ResumeTiming();
        server.serverReceiveClientConfirm(confirm);
    }
}
BENCHMARK(serverHandshake);

void envelopeEncodeDecode(benchmark::State& state) {
    const Bytes payload(1024, 0x42);
    for (auto _ : state) {
        const Bytes json = RelayEnvelope(RelayMessageType::agentRequest, payload).serialized();
        benchmark::DoNotOptimize(RelayEnvelope::deserialize(json));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1024);
}
BENCHMARK(envelopeEncodeDecode);

void bootstrapPSK(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Pairing::bootstrapPSK("123 456"));
}
BENCHMARK(bootstrapPSK);

void framing(benchmark::State& state) {
    const Bytes message(1024, 0x42);
    for (auto _ : state) benchmark::DoNotOptimize(framed(message));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1024);
}
BENCHMARK(framing);

}  // namespace

BENCHMARK_MAIN();
