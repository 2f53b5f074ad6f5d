#include "protocol/pairing.hpp"

#include <gtest/gtest.h>

#include "protocol/pairing_window.hpp"
#include "test_support.hpp"

namespace kestrel {
namespace {

using testing::toHex;

TEST(Pairing, CodeIsTheSourceValueModuloAMillionInSixDigits) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "000000"},       {42, "000042"},          {999999, "999999"},
        {1000000, "000000"}, {4294967295u, "967295"},
    };
    for (const auto& [value, code] : cases) {
        int calls = 0;
        EXPECT_EQ(Pairing::generateCode([&] {
                      ++calls;
                      return value;
                  }),
                  code);
        EXPECT_EQ(calls, 1);
    }
}

TEST(Pairing, SecureSourceStaysWithinTheCodeSpace) {
    std::uint32_t highest = 0;
    for (int i = 0; i < 2000; ++i) highest = std::max(highest, Pairing::secureCodeSource());
    EXPECT_LT(highest, Pairing::codeSpace);
    EXPECT_GT(highest, 0u);
}

// Keys computed by an independent implementation: separators are dropped, digits of other
// scripts and other numeric characters are kept with their own bytes.
TEST(Pairing, BootstrapKeyMatchesKnownAnswers) {
    const auto vectors = testing::loadTestData("secure-channel.json");
    for (const auto& [code, key] : vectors["bootstrapPSK"].items()) {
        EXPECT_EQ(toHex(Pairing::bootstrapPSK(code).bytes()), key.get<std::string>()) << code;
    }
    EXPECT_EQ(Pairing::bootstrapPSK("12a3b4c56!"), Pairing::bootstrapPSK("123456"));
    EXPECT_FALSE(Pairing::bootstrapPSK("123457") == Pairing::bootstrapPSK("123456"));
    EXPECT_EQ(Pairing::bootstrapPSK("\xFF"
                                    "123456")
                  .size(),
              32u);  // invalid UTF-8 never fails
}

TEST(Pairing, LongTermKeysAreFreshAndThirtyTwoBytes) {
    const SymmetricKey a = Pairing::generateLongTermPSK();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_FALSE(a == Pairing::generateLongTermPSK());
}

TEST(PairingWindow, FifthFailureClosesAWindowOfFive) {
    PairingWindow window("123456", 5);
    for (int i = 0; i < 4; ++i) window.recordFailure();
    EXPECT_TRUE(window.isOpen());
    EXPECT_EQ(window.attemptsRemaining(), 1);
    window.recordFailure();
    EXPECT_FALSE(window.isOpen());
    EXPECT_EQ(window.attemptsRemaining(), 0);
    window.recordFailure();
    EXPECT_EQ(window.attemptsRemaining(), 0);
    EXPECT_EQ(window.maxAttempts(), 5);
    EXPECT_EQ(window.code(), "123456");
}

TEST(PairingWindow, ClosedWindowsStayClosed) {
    PairingWindow none("000000", 0);
    EXPECT_TRUE(none.isOpen());
    none.recordFailure();
    EXPECT_FALSE(none.isOpen());
    EXPECT_EQ(none.attemptsRemaining(), -1);

    for (void (PairingWindow::*close)() : {&PairingWindow::recordSuccess, &PairingWindow::expire}) {
        PairingWindow window("111111", 5);
        (window.*close)();
        EXPECT_FALSE(window.isOpen());
        window.recordSuccess();
        window.expire();
        window.recordFailure();
        EXPECT_FALSE(window.isOpen());
        EXPECT_EQ(window.attemptsRemaining(), 5);
    }
}

}  // namespace
}  // namespace kestrel
