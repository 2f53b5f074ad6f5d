// What an unauthenticated peer can make the relay spend: connections, frame sizes, time and
// handshakes.

#include "relay/admission_control.hpp"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "protocol/ssh_agent_protocol.hpp"
#include "relay/display_name.hpp"
#include "relay_harness.hpp"
#include "support/ssh_agent_fixture.hpp"

namespace kestrel::testing {
namespace {

using SessionID = AdmissionControl::SessionID;

asio::ip::address at(const std::string& text) { return asio::ip::make_address(text); }

// One step of a case: session id arrives from `from` and pushes out `evicted`, or, with no
// address, session id leaves.
struct AdmissionStep {
    SessionID id;
    const char* from;
    std::vector<SessionID> evicted;
};

struct EvictionCase {
    const char* name;
    AdmissionControl::Limits limits;
    std::vector<AdmissionStep> steps;
};

constexpr AdmissionControl::Limits fourInAllTwoPerSource{.maxUnauthenticated = 4,
                                                         .maxUnauthenticatedPerSource = 2};

TEST(AdmissionControl, AFullCapPushesOutTheOldestOfTheBusiestSource) {
    const char* a = "192.0.2.1";
    const char* b = "192.0.2.2";
    const char* c = "192.0.2.3";
    const char* d = "192.0.2.4";
    const char* e = "192.0.2.5";
    const EvictionCase cases[] = {
        {"at the per-source cap, that source's oldest goes",
         fourInAllTwoPerSource,
         {{1, a, {}}, {2, b, {}}, {3, a, {}}, {4, a, {1}}, {5, a, {3}}}},
        {"at the total cap, the oldest of the source holding the most goes",
         fourInAllTwoPerSource,
         {{1, a, {}}, {2, b, {}}, {3, b, {}}, {4, c, {}}, {5, d, {2}}}},
        {"of two sources holding the most, the one with the older oldest (not the lower address)",
         fourInAllTwoPerSource,
         {{1, b, {}}, {2, a, {}}, {3, a, {}}, {4, b, {}}, {5, c, {1}}, {6, d, {2}}}},
        {"a device on an address of its own goes last, when every source holds one",
         {.maxUnauthenticated = 4, .maxUnauthenticatedPerSource = 4},
         {{1, d, {}},
          {2, a, {}},
          {3, a, {}},
          {4, a, {}},
          {5, a, {2}},
          {6, b, {3}},
          {7, c, {4}},
          {8, e, {1}}}},
        {"leaving frees a place; leaving twice or after eviction frees nothing more",
         fourInAllTwoPerSource,
         {{1, a, {}},
          {2, a, {}},
          {1, nullptr, {}},
          {3, a, {}},
          {1, nullptr, {}},
          {4, a, {2}},
          {2, nullptr, {}},
          {5, a, {3}}}},
        {"caps of 0 count as 1: the newcomer always gets in",
         {.maxUnauthenticated = 0, .maxUnauthenticatedPerSource = 0},
         {{1, a, {}}, {2, b, {1}}, {3, b, {2}}}},
    };
    for (const EvictionCase& row : cases) {
        AdmissionControl admission(row.limits);
        for (const AdmissionStep& step : row.steps) {
            if (step.from == nullptr) {
                admission.leave(step.id);
                continue;
            }
            EXPECT_EQ(admission.admit(step.id, at(step.from)), step.evicted)
                << row.name << ": session " << step.id;
            EXPECT_LE(admission.unauthenticated(),
                      std::max<std::size_t>(1, row.limits.maxUnauthenticated))
                << row.name;
        }
    }
}

TEST(AdmissionControl, SourcesAreIPv4AddressesAndIPv6Slash64s) {
    const struct {
        const char* first;
        const char* second;
        bool sameSource;
    } cases[] = {
        {"192.0.2.1", "::ffff:192.0.2.1", true},  // as it arrives on the dual-stack socket
        {"::ffff:192.0.2.1", "::ffff:192.0.2.2", false},
        {"192.0.2.1", "192.0.2.2", false},
        {"::ffff:127.0.0.1", "::1", false},
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", true},
        {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
        {"2001:db8:1:2::1", "2001:db9:1:2::1", false},
        {"fe80::1%1", "fe80::2%1", true},
        {"fe80::1%1", "fe80::1%2", false},  // the same prefix on two links
    };
    for (const auto& row : cases) {
        const bool same =
            AdmissionControl::sourceOf(at(row.first)) == AdmissionControl::sourceOf(at(row.second));
        EXPECT_EQ(same, row.sameSource) << row.first << " and " << row.second;
    }
    EXPECT_EQ(AdmissionControl::sourceOf(at("::ffff:192.0.2.1")), at("192.0.2.1"));
    EXPECT_EQ(AdmissionControl::sourceOf(at("2001:db8:1:2:3:4:5:6")), at("2001:db8:1:2::"));

    AdmissionControl admission(fourInAllTwoPerSource);
    for (SessionID id = 1; id <= 4; ++id)
        admission.admit(id, at("::ffff:192.0.2." + std::to_string(id)));
    EXPECT_EQ(admission.unauthenticatedFrom(at("192.0.2.3")), 1u)
        << "mapped IPv4 clients are counted apart, not as one ::/64";
}

TEST(AdmissionControl, HandshakesAreRationedPerSource) {
    AdmissionControl admission({.handshakeBurst = 3, .handshakesPerSecond = 2});
    const auto start = AdmissionControl::Clock::now();
    const auto one = at("192.0.2.1");
    EXPECT_TRUE(admission.takeHandshake(one, start));
    EXPECT_TRUE(admission.takeHandshake(at("::ffff:192.0.2.1"), start));
    EXPECT_TRUE(admission.takeHandshake(one, start));
    EXPECT_FALSE(admission.takeHandshake(one, start)) << "mapped or not, one bucket";
    EXPECT_TRUE(admission.takeHandshake(at("192.0.2.2"), start))
        << "another source has its own bucket";
    EXPECT_TRUE(admission.takeHandshake(one, start + std::chrono::milliseconds(500)));
    EXPECT_FALSE(admission.takeHandshake(one, start + std::chrono::milliseconds(500)));

    for (int i = 0; i < 3; ++i) EXPECT_TRUE(admission.takeHandshake(at("2001:db8::1"), start));
    EXPECT_FALSE(admission.takeHandshake(at("2001:db8::2"), start)) << "one bucket per /64";
    EXPECT_TRUE(admission.takeHandshake(at("2001:db8:0:1::1"), start));
}

// Thousands of sources that come and go (a flood from many IPv6 networks) make the relay forget
// full buckets now and then; an emptied one must be kept, and forgotten once full again.
TEST(AdmissionControl, AnEmptiedBucketOutlivesTheCleanupsOfThousandsOfOthers) {
    AdmissionControl admission({.handshakeBurst = 2, .handshakesPerSecond = 1});
    const auto start = AdmissionControl::Clock::now();
    const auto greedy = at("192.0.2.1");
    while (admission.takeHandshake(greedy, start)) {
    }
    char network[40];
    for (int i = 0; i < 10'000; ++i) {
        std::snprintf(network, sizeof network, "2001:db8:%x:%x::1", i / 65536, i % 65536);
        EXPECT_TRUE(
            admission.takeHandshake(at(network), start + std::chrono::milliseconds(i / 20)));
    }
    EXPECT_FALSE(admission.takeHandshake(greedy, start + std::chrono::milliseconds(500)));
    EXPECT_TRUE(admission.takeHandshake(greedy, start + std::chrono::seconds(1)));
}

TEST(DisplayName, IsCleanedBeforeItIsShown) {
    const std::pair<std::string, std::string> cases[] = {
        {"Ada's Phone", "Ada's Phone"},
        {"  padded  ", "padded"},
        {"evil\u202Etxt.exe", "eviltxt.exe"},
        {"two\nlines\r\x1B[31m", "twolines[31m"},
        {"\u2066isolate\u2069", "isolate"},
        {"", "Unnamed device"},
        {"\x01\x02", "Unnamed device"},
        {std::string(300, 'x'), std::string(64, 'x')},
        {"\xFF", "\uFFFD"},
        // Default-ignorable code points show as nothing: a name must not hide any.
        {"Le\u200Bgit", "Legit"},                          // zero-width space
        {"Le\u200Dgit\u200C", "Legit"},                    // zero-width joiner and non-joiner
        {"Le\u00ADgit", "Legit"},                          // soft hyphen
        {"Legit\uFE0F", "Legit"},                          // variation selector
        {"Legit\U000E0100", "Legit"},                      // variation selector supplement
        {"Legit\U000E0067\U000E0062\U000E007F", "Legit"},  // tag characters
        {"\uFEFFLegit", "Legit"},                          // byte order mark
        {"\u2060\u180E\u034F", "Unnamed device"},          // word joiner, MVS, grapheme joiner
        {"\u200B padded \u200B", "padded"},
        // Letters and the marks that show stay.
        {"Caf\u00E9 \u0928\u092E\u0938\u094D\u0924\u0947",
         "Caf\u00E9 \u0928\u092E\u0938\u094D\u0924\u0947"},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(cleanDisplayName(name), expected) << name;
    const std::string emoji = "\U0001F600";
    std::string many;
    for (int i = 0; i < 70; ++i) many += emoji;
    EXPECT_EQ(cleanDisplayName(many).size(), 64 * emoji.size()) << "cut between characters";
}

class PreAuthenticationTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness_.startRelay();
        RelayListener::Deadlines deadlines;
        deadlines.preamble = std::chrono::milliseconds(200);
        deadlines.handshake = std::chrono::milliseconds(200);
        harness_.controller->listener()->setDeadlines(deadlines);
    }

    // Sends bytes on a new connection and reports whether the relay then reset it, as it does
    // every connection it drops before the peer has authenticated (short of turning a device
    // away), so that no client mistakes it for a verdict.
    asio::awaitable<bool> resetAfterSending(Bytes bytes) {
        asio::ip::tcp::socket socket = co_await harness_.connect();
        if (!bytes.empty())
            co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
        std::uint8_t byte;
        std::error_code error;
        co_await asio::async_read(socket, asio::buffer(&byte, 1),
                                  asio::redirect_error(asio::use_awaitable, error));
        co_return error == asio::error::connection_reset;
    }

    RelayHarness harness_;
};

TEST_F(PreAuthenticationTest, SilentPeersAndOversizedFramesAreReset) {
    EXPECT_TRUE(harness_.run(resetAfterSending({}))) << "nothing sent: closed at the deadline";
    EXPECT_TRUE(harness_.run(resetAfterSending({0, 0, 0x40, 0x01}))) << "a preamble over 16 KiB";
    EXPECT_TRUE(harness_.run(resetAfterSending({0, 8, 0, 0}))) << "a 512 KiB header, stalled";
    Bytes hello =
        framed(ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "x").serialized());
    append(hello, Bytes{0, 0, 0, 49});
    harness_.controller->startPairing();
    EXPECT_TRUE(harness_.run(resetAfterSending(hello))) << "a client hello over 48 bytes";
    EXPECT_EQ(harness_.controller->listener()->sessionCount(), 0u);
}

// Idle connections from many loopback addresses fill both caps, and a paired device opens a new
// connection for each request, as kestrel-agent does: from an address of its own, or from one
// of the flood's (a device behind the same NAT as the attacker).
class FloodTest : public ::testing::Test {
protected:
    struct IdleConnection {
        IdleConnection(int from, int nth, asio::ip::tcp::socket connection)
            : source(from), index(nth), socket(std::move(connection)) {}
        int source;  // 127.0.0.<source>
        int index;   // its place among that source's connections
        asio::ip::tcp::socket socket;
        bool reset = false;
    };

    void SetUp() override {
        harness_.startRelay();
        harness_.controller->setSocketOverride(agent_.socketPath());
        harness_.controller->startPairing();
        grant_ = harness_.run(harness_.pair(*harness_.controller->pairingCode(), "Phone"));
        harness_.runUntil([&] { return !harness_.controller->pairingCode(); });
    }

    static asio::ip::address_v4 source(int n) {
        return asio::ip::make_address_v4("127.0.0." + std::to_string(n));
    }

    asio::awaitable<void> openIdle(int from, int count) {
        for (int i = 0; i < count; ++i) {
            asio::ip::tcp::socket socket = co_await harness_.connect(source(from));
            idle_.emplace_back(from, i, std::move(socket));
        }
    }

    // How many idle connections the relay has reset so far. A reset is reported once, so each
    // connection remembers it.
    std::size_t resets() {
        std::size_t count = 0;
        for (IdleConnection& connection : idle_) {
            std::uint8_t byte;
            connection.reset = connection.reset || (::recv(connection.socket.native_handle(), &byte,
                                                           1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
                                                    errno == ECONNRESET);
            count += connection.reset ? 1 : 0;
        }
        return count;
    }

    // Whether a new connection of the device gets the agent's keys.
    bool served(asio::ip::address_v4 from) {
        RelayClient client =
            harness_.run(harness_.openPaired(grant_->deviceID, grant_->pskData, from));
        const Bytes answer =
            harness_.run(client.agentRequest(SSHAgentProtocol::encodeRequestIdentities()));
        client.close();
        return SSHAgentProtocol::decodeIdentitiesAnswer(SSHAgentProtocol::deframe(answer)->body)
                   .size() == 1;
    }

    SSHAgentFixture agent_;
    RelayHarness harness_;
    std::optional<PairingGrant> grant_;
    std::vector<IdleConnection> idle_;
};

TEST_F(FloodTest, NewDeviceConnectionsAreServedWhileIdleOnesFillBothCaps) {
    // Nine each from 127.0.0.2-9 meets the per-source cap of 8 eight times; eight more from
    // 127.0.0.10 then meet the total cap of 64 eight times.
    const auto flood = [&]() -> asio::awaitable<void> {
        for (int from = 2; from <= 9; ++from) co_await openIdle(from, 9);
        co_await openIdle(10, 8);
    };
    harness_.run(flood());
    harness_.runUntil([&] { return resets() >= 16; });
    harness_.drain();
    for (IdleConnection& connection : idle_) {
        // Per source its oldest, at the total cap the oldest of the sources holding the most.
        const bool evicted = connection.source <= 9 && connection.index < 2;
        EXPECT_EQ(connection.reset, evicted)
            << "127.0.0." << connection.source << " #" << connection.index;
    }

    for (int round = 0; round < 10; ++round) {
        // 127.0.0.10 is at the per-source cap and the relay at the total cap each time.
        const asio::ip::address_v4 from =
            round % 2 == 0 ? source(10) : asio::ip::address_v4::loopback();
        EXPECT_TRUE(served(from)) << "round " << round << " from " << from;
        harness_.run(openIdle(10, 1));
    }
    // The flood fills the total cap again, and no more: the device's sessions have ended.
    harness_.runUntil([&] { return harness_.controller->listener()->sessionCount() == 64; });
    harness_.drain();
    EXPECT_EQ(harness_.controller->listener()->sessionCount(), 64u);
}

}  // namespace
}  // namespace kestrel::testing
