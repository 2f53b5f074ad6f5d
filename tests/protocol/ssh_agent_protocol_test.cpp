#include "protocol/ssh_agent_protocol.hpp"

#include <gtest/gtest.h>

#include "protocol/ssh_wire.hpp"

namespace kestrel {
namespace {

using namespace SSHAgentProtocol;

template <typename Call>
void expectAgentError(Call call, SSHAgentProtocolError expected,
                      std::optional<std::uint8_t> byte = std::nullopt) {
    try {
        call();
        ADD_FAILURE() << "no error thrown";
    } catch (const SSHAgentProtocolFailure& failure) {
        EXPECT_EQ(failure.code(), expected);
        EXPECT_EQ(failure.messageByte(), byte);
    }
}

template <typename Call>
void expectTruncated(Call call) {
    try {
        call();
        ADD_FAILURE() << "no error thrown";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), SSHWireError::truncated);
    }
}

TEST(SSHAgentProtocol, FixedMessagesAndEncodersProduceExactBytes) {
    EXPECT_EQ(encodeRequestIdentities(), (Bytes{0, 0, 0, 1, 11}));
    EXPECT_EQ(encodeFailure(), (Bytes{0, 0, 0, 1, 5}));
    EXPECT_EQ(encodeIdentitiesAnswer({}), (Bytes{0, 0, 0, 5, 12, 0, 0, 0, 0}));
    EXPECT_EQ(encodeSignRequest({}, {}, SSHAgentSignFlags::rsaSha2_512),
              (Bytes{0, 0, 0, 13, 13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4}));
    EXPECT_EQ(encodeSignResponse(Bytes{9}), (Bytes{0, 0, 0, 6, 14, 0, 0, 0, 1, 9}));
}

TEST(SSHAgentProtocol, DeframeTakesTheFirstWholeMessageOnly) {
    struct Case {
        Bytes buffer;
        std::optional<Bytes> body;
        std::size_t consumed;
    };
    const Case cases[] = {
        {{0, 0, 0, 2, 11}, std::nullopt, 0},          // one byte short
        {{0, 0, 0}, std::nullopt, 0},                 // no complete length
        {{0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt, 0},  // length near 2^32 does not wrap
        {{0, 0, 0, 1, 11, 0xFF}, Bytes{11}, 5},       // trailing bytes ignored
        {{0, 0, 0, 0}, Bytes{}, 4},
    };
    for (const Case& test : cases) {
        const auto result = deframe(test.buffer);
        ASSERT_EQ(result.has_value(), test.body.has_value());
        if (result) {
            EXPECT_EQ(result->body, *test.body);
            EXPECT_EQ(result->consumed, test.consumed);
        }
    }
}

TEST(SSHAgentProtocol, FrameAndDeframeRoundTrip) {
    const Bytes body{13, 1, 2, 3};
    const Bytes framed = frame(body);
    const auto result = deframe(framed);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, body);
    EXPECT_EQ(result->consumed, framed.size());
}

TEST(SSHAgentProtocol, ClassifiesByFirstByte) {
    EXPECT_EQ(messageType(Bytes{13, 0}), SSHAgentMessageType::signRequest);
    EXPECT_EQ(messageType(Bytes{11}), SSHAgentMessageType::requestIdentities);
    expectAgentError([] { messageType(Bytes{}); }, SSHAgentProtocolError::empty);
    expectAgentError([] { messageType(Bytes{7}); }, SSHAgentProtocolError::unknownMessageType, 7);
    expectAgentError([] { messageType(Bytes{0x19}); }, SSHAgentProtocolError::unknownMessageType,
                     0x19);
}

TEST(SSHAgentProtocol, OnlyListAndSignAreForwardable) {
    for (int raw = 0; raw < 256; ++raw) {
        const auto type = sshAgentMessageType(static_cast<std::uint8_t>(raw));
        const bool known = raw == 5 || raw == 6 || (raw >= 11 && raw <= 14);
        ASSERT_EQ(type.has_value(), known) << raw;
        if (type) {
            EXPECT_EQ(isForwardable(*type), raw == 11 || raw == 13) << raw;
        }
    }
}

TEST(SSHAgentProtocol, IdentitiesAnswerRoundTripsAndReplacesBadUTF8) {
    const std::vector<SSHAgentIdentity> identities{
        {Bytes{0, 0, 0, 3, 'a', 'b', 'c', 9}, "laptop key"},
        {Bytes{}, ""},
    };
    const auto decoded = decodeIdentitiesAnswer(deframe(encodeIdentitiesAnswer(identities))->body);
    EXPECT_EQ(decoded, identities);

    const Bytes badComment{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 'a', 0xFF};
    EXPECT_EQ(decodeIdentitiesAnswer(badComment).at(0).comment, "a\xEF\xBF\xBD");
}

TEST(SSHAgentProtocol, IdentitiesAnswerErrors) {
    EXPECT_TRUE(decodeIdentitiesAnswer(Bytes{12, 0, 0, 0, 0}).empty());
    expectAgentError(
        [] {
            decodeIdentitiesAnswer(Bytes{12, 0, 0, 4, 1});
        },
        SSHAgentProtocolError::malformed);
    expectAgentError(
        [] {
            decodeIdentitiesAnswer(Bytes{14, 0, 0, 0, 0});
        },
        SSHAgentProtocolError::unexpectedMessageType, 14);
    expectTruncated([] { decodeIdentitiesAnswer(Bytes{}); });
    // 1024 identities are allowed; the count alone must not make the decoder read past the end.
    expectTruncated([] { decodeIdentitiesAnswer(Bytes{12, 0, 0, 4, 0}); });
}

TEST(SSHAgentProtocol, SignRequestAndResponseRoundTrip) {
    const Bytes keyBlob{0, 0, 0, 11, 's', 's', 'h', '-', 'e', 'd', '2', '5', '5', '1', '9'};
    const Bytes data{1, 2, 3};
    const auto flags = SSHAgentSignFlags::rsaSha2_256 | SSHAgentSignFlags{0x80};
    const auto request = decodeSignRequest(deframe(encodeSignRequest(keyBlob, data, flags))->body);
    EXPECT_EQ(request.keyBlob, keyBlob);
    EXPECT_EQ(request.data, data);
    EXPECT_EQ(request.flags.rawValue, 0x82u);

    EXPECT_EQ(decodeSignResponse(deframe(encodeSignResponse(data))->body), data);
    expectAgentError([] { decodeSignRequest(Bytes{14}); },
                     SSHAgentProtocolError::unexpectedMessageType, 14);
    expectAgentError([] { decodeSignResponse(Bytes{5}); },
                     SSHAgentProtocolError::unexpectedMessageType, 5);
    expectTruncated([] { decodeSignRequest(Bytes{13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); });
}

TEST(SSHAgentSignFlags, SetOperationsActOnBits) {
    const auto both = SSHAgentSignFlags::rsaSha2_256 | SSHAgentSignFlags::rsaSha2_512;
    EXPECT_EQ(both.rawValue, 6u);
    EXPECT_TRUE(both.contains(SSHAgentSignFlags::rsaSha2_512));
    EXPECT_EQ((both - SSHAgentSignFlags::rsaSha2_256), SSHAgentSignFlags::rsaSha2_512);
    EXPECT_EQ((both ^ SSHAgentSignFlags::rsaSha2_512), SSHAgentSignFlags::rsaSha2_256);
    EXPECT_EQ((both & SSHAgentSignFlags{2}), SSHAgentSignFlags::rsaSha2_256);
    EXPECT_TRUE(SSHAgentSignFlags::rsaSha2_256.isDisjoint(SSHAgentSignFlags::rsaSha2_512));
    SSHAgentSignFlags flags;
    flags.insert(SSHAgentSignFlags::rsaSha2_512);
    flags.remove(SSHAgentSignFlags::rsaSha2_512);
    EXPECT_EQ(flags.rawValue, 0u);
}

TEST(SSHAgentIdentity, AlgorithmNameIsTheBlobsFirstString) {
    EXPECT_EQ((SSHAgentIdentity{{0, 0, 0, 3, 'a', 'b', 'c', 0xAA}, ""}.algorithmName()), "abc");
    EXPECT_EQ((SSHAgentIdentity{{0, 0, 0}, ""}.algorithmName()), std::nullopt);
    EXPECT_EQ((SSHAgentIdentity{{0, 0, 0, 1, 0xFF}, ""}.algorithmName()), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kestrel
