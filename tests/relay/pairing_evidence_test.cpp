#include "relay/pairing_evidence.hpp"

#include <gtest/gtest.h>

#include "protocol/json_value.hpp"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

const Date start = std::chrono::system_clock::now();
const UUID phone = UUID::random();

std::vector<std::string> descriptions(const std::vector<PairingEvidence>& evidence) {
    std::vector<std::string> lines;
    for (const PairingEvidence& record : evidence) lines.push_back(record.description("Pixel 8"));
    return lines;
}

TEST(PairingWatchTest, AQuietPairingHasNoEvidence) {
    PairingWatch watch;
    watch.windowOpened(start);
    EXPECT_FALSE(watch.connection("192.168.1.20", start + 5s));
    EXPECT_TRUE(watch.paired("192.168.1.20", phone, start + 6s).empty());
}

TEST(PairingWatchTest, PollingBeforeTheCodeAndOthersWhileItIsOpenCountPerAddress) {
    PairingWatch watch;
    watch.connection("192.168.1.40", start - 11min);  // too long ago to count
    watch.connection("192.168.1.40", start - 3min);
    watch.connection("192.168.1.40", start - 1min);
    watch.windowOpened(start);
    watch.connection("192.168.1.41", start + 1s);
    watch.connection("192.168.1.40", start + 2s);  // the claimant's own: not evidence
    const auto evidence = watch.paired("192.168.1.40", phone, start + 3s);
    EXPECT_EQ(
        descriptions(evidence),
        (std::vector<std::string>{"2 pairing attempts from 192.168.1.40 before this code was shown",
                                  "1 pairing attempt from 192.168.1.41 while this code was open"}));
    EXPECT_EQ(evidence[0].firstSeen, start - 3min);
    EXPECT_EQ(evidence[0].lastSeen, start - 1min);

    watch.windowClosed();
    watch.windowOpened(start + 1min);
    EXPECT_TRUE(watch.paired("192.168.1.50", UUID::random(), start + 70s).empty())
        << "evidence is told once, not again for the next pairing";
}

TEST(PairingWatchTest, ATryAfterUseFromElsewhereNamesTheDeviceForTwoMinutes) {
    PairingWatch watch;
    watch.windowOpened(start);
    watch.paired("192.168.1.20", phone, start + 5s);
    watch.windowClosed();
    EXPECT_FALSE(watch.connection("192.168.1.20", start + 10s)) << "the device itself, retrying";
    const auto suspect = watch.connection("192.168.1.41", start + 20s);
    ASSERT_TRUE(suspect);
    EXPECT_EQ(suspect->deviceID, phone);
    EXPECT_EQ(descriptions(suspect->evidence),
              std::vector<std::string>{"another device (192.168.1.41) tried this code after "
                                       "\u201CPixel 8\u201D used it; if \u201CPixel 8\u201D is "
                                       "not yours, revoke it"});
    EXPECT_FALSE(watch.connection("192.168.1.42", start + 5s + 2min + 1s)) << "past the window";
}

TEST(PairingWatchTest, ANewCodeEndsTheWatchOverTheLastOne) {
    PairingWatch watch;
    watch.windowOpened(start);
    watch.paired("192.168.1.20", phone, start + 5s);
    watch.windowClosed();
    watch.windowOpened(start + 10s);
    EXPECT_FALSE(watch.connection("192.168.1.41", start + 20s));
}

TEST(PairingWatchTest, AFloodIsRememberedWithinBoundsAndStillCounts) {
    PairingWatch watch;
    for (std::size_t i = 0; i < 3 * PairingWatch::maxRemembered; ++i)
        watch.connection("10.0.0." + std::to_string(i % 200), start);
    watch.windowOpened(start + 1s);
    const auto evidence = watch.paired("10.0.0.1", phone, start + 2s);
    std::uint64_t attempts = 0;
    for (const PairingEvidence& record : evidence) attempts += record.attempts;
    EXPECT_EQ(attempts, PairingWatch::maxRemembered);
    EXPECT_EQ(evidence.size(), 200u);
}

TEST(PairingEvidenceCodecTest, RoundTripsAndRejectsWhatItDidNotWrite) {
    const std::vector<PairingEvidence> evidence = {
        {PairingEvidenceKind::beforeCode, "192.168.1.40", 2, start - 1min, start},
        {PairingEvidenceKind::afterUse, "fe80::1", 1, start, start},
    };
    const nlohmann::json stored = encodePairingEvidence(evidence);
    const auto decoded = decodePairingEvidence(stored);
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].kind, PairingEvidenceKind::beforeCode);
    EXPECT_EQ(decoded[1].address, "fe80::1");
    EXPECT_EQ(decoded[0].attempts, 2u);

    const nlohmann::json entry = stored[0];
    const std::pair<const char*, nlohmann::json> broken[] = {
        {"kind", "sometimes"}, {"kind", 1},          {"address", nullptr},
        {"attempts", 0},       {"attempts", -3},     {"attempts", 1.5},
        {"attempts", "2"},     {"firstSeen", "now"}, {"lastSeen", 1e300},
    };
    for (const auto& [member, value] : broken) {
        nlohmann::json bad = entry;
        bad[member] = value;
        EXPECT_THROW(decodePairingEvidence(nlohmann::json::array({bad})), DecodingFailure)
            << member << " = " << value;
    }
    EXPECT_THROW(decodePairingEvidence(nlohmann::json::object()), DecodingFailure);
    EXPECT_THROW(decodePairingEvidence(nlohmann::json::array({1})), DecodingFailure);
}

}  // namespace
}  // namespace kestrel
