// What an unauthenticated peer can make the relay spend: connections, frame sizes, time and
// handshakes.

#include "relay/admission_control.hpp"

#include <gtest/gtest.h>

#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "relay/display_name.hpp"
#include "relay_harness.hpp"

namespace kestrel::testing {
namespace {

const asio::ip::address one = asio::ip::make_address("192.0.2.1");
const asio::ip::address two = asio::ip::make_address("192.0.2.2");

TEST(AdmissionControl, CapsConnectionsInAllAndPerAddress) {
    AdmissionControl admission({.maxUnauthenticated = 3, .maxUnauthenticatedPerAddress = 2});
    EXPECT_TRUE(admission.admit(one));
    EXPECT_TRUE(admission.admit(one));
    EXPECT_FALSE(admission.admit(one));
    EXPECT_TRUE(admission.admit(two));
    EXPECT_FALSE(admission.admit(two)) << "the total cap";
    admission.leave(one);
    EXPECT_TRUE(admission.admit(two));
    EXPECT_EQ(admission.unauthenticated(), 3u);
}

TEST(AdmissionControl, HandshakesAreRationedPerAddress) {
    AdmissionControl admission({.handshakeBurst = 3, .handshakesPerSecond = 2});
    const auto start = AdmissionControl::Clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(admission.takeHandshake(one, start));
    EXPECT_FALSE(admission.takeHandshake(one, start));
    EXPECT_TRUE(admission.takeHandshake(two, start)) << "another source has its own bucket";
    EXPECT_TRUE(admission.takeHandshake(one, start + std::chrono::milliseconds(500)));
    EXPECT_FALSE(admission.takeHandshake(one, start + std::chrono::milliseconds(500)));
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

    // Sends bytes on a new connection and reports whether the relay then closed it.
    asio::awaitable<bool> closedAfterSending(Bytes bytes) {
        asio::ip::tcp::socket socket = co_await harness_.connect();
        if (!bytes.empty())
            co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
        std::uint8_t byte;
        std::error_code error;
        co_await asio::async_read(socket, asio::buffer(&byte, 1),
                                  asio::redirect_error(asio::use_awaitable, error));
        co_return error == asio::error::eof || error == asio::error::connection_reset;
    }

    RelayHarness harness_;
};

TEST_F(PreAuthenticationTest, SilentPeersAndOversizedFramesAreClosed) {
    EXPECT_TRUE(harness_.run(closedAfterSending({}))) << "nothing sent: closed at the deadline";
    EXPECT_TRUE(harness_.run(closedAfterSending({0, 0, 0x40, 0x01}))) << "a preamble over 16 KiB";
    EXPECT_TRUE(harness_.run(closedAfterSending({0, 8, 0, 0}))) << "a 512 KiB header, stalled";
    Bytes hello =
        framed(ConnectionPreamble(ConnectionMode::pairing, std::nullopt, "x").serialized());
    append(hello, Bytes{0, 0, 0, 49});
    harness_.controller->startPairing();
    EXPECT_TRUE(harness_.run(closedAfterSending(hello))) << "a client hello over 48 bytes";
    EXPECT_EQ(harness_.controller->listener()->sessionCount(), 0u);
}

TEST_F(PreAuthenticationTest, TheNinthIdleConnectionFromOneAddressIsTurnedAway) {
    const auto flood = [&]() -> asio::awaitable<bool> {
        std::vector<asio::ip::tcp::socket> idle;
        for (int i = 0; i < 8; ++i) idle.push_back(co_await harness_.connect());
        // Let the relay accept the eight before the ninth arrives.
        asio::steady_timer settle(co_await asio::this_coro::executor,
                                  std::chrono::milliseconds(20));
        co_await settle.async_wait(asio::use_awaitable);
        asio::ip::tcp::socket ninth = co_await harness_.connect();
        std::uint8_t byte;
        std::error_code error;
        co_await asio::async_read(ninth, asio::buffer(&byte, 1),
                                  asio::redirect_error(asio::use_awaitable, error));
        co_return error == asio::error::eof || error == asio::error::connection_reset;
    };
    EXPECT_TRUE(harness_.run(flood()));
}

}  // namespace
}  // namespace kestrel::testing
