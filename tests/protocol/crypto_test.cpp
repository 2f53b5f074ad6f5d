#include "protocol/crypto.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace kestrel {
namespace {

using testing::fromHex;
using testing::toHex;

template <typename Call>
void expectCryptoError(Call call, CryptoError expected) {
    try {
        call();
        ADD_FAILURE() << "no error thrown";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), expected) << error.what();
    }
}

// RFC 7748 sections 5.2 and 6.1.
TEST(X25519, MatchesRFC7748Vectors) {
    struct Case {
        const char* scalar;
        const char* peer;
        const char* shared;
    };
    const Case cases[] = {
        {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
         "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
         "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
        {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
         "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
         "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
        {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
         "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
         "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
    };
    for (const Case& test : cases) {
        const auto key = X25519PrivateKey::fromRawRepresentation(fromHex(test.scalar));
        EXPECT_EQ(toHex(key.sharedSecret(fromHex(test.peer)).bytes()), test.shared);
    }
    const auto alice = X25519PrivateKey::fromRawRepresentation(
        fromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    EXPECT_EQ(toHex(alice.publicKey()),
              "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
}

TEST(X25519, GeneratedKeysAgree) {
    const auto a = X25519PrivateKey::generate();
    const auto b = X25519PrivateKey::generate();
    EXPECT_NE(a.publicKey(), b.publicKey());
    EXPECT_EQ(a.sharedSecret(b.publicKey()), b.sharedSecret(a.publicKey()));
}

TEST(X25519, LowOrderAndMalformedPeerKeysAreErrorsNeverAZeroKey) {
    const auto key = X25519PrivateKey::generate();
    Bytes zero(32, 0);
    Bytes one(32, 0);
    one[0] = 1;
    // A point of order 8 (from the list of small-order points on Curve25519).
    const Bytes order8 =
        fromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800");
    for (const Bytes& peer : {zero, one, order8}) {
        expectCryptoError([&] { key.sharedSecret(peer); }, CryptoError::keyAgreementFailed);
    }
    expectCryptoError([&] { key.sharedSecret(Bytes(31, 9)); }, CryptoError::invalidKey);
    expectCryptoError([] { X25519PrivateKey::fromRawRepresentation(Bytes(33, 1)); },
                      CryptoError::invalidKey);
}

// RFC 5869 appendix A, test cases 1 to 3.
TEST(HKDF, MatchesRFC5869Vectors) {
    Bytes longIKM, longSalt, longInfo;
    for (int i = 0; i < 80; ++i) {
        longIKM.push_back(static_cast<std::uint8_t>(i));
        longSalt.push_back(static_cast<std::uint8_t>(0x60 + i));
        longInfo.push_back(static_cast<std::uint8_t>(0xB0 + i));
    }
    struct Case {
        Bytes ikm, salt, info;
        std::size_t length;
        const char* okm;
    };
    const Case cases[] = {
        {Bytes(22, 0x0B), fromHex("000102030405060708090a0b0c"), fromHex("f0f1f2f3f4f5f6f7f8f9"),
         42,
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {longIKM, longSalt, longInfo, 82,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65"
         "e"
         "590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {Bytes(22, 0x0B),
         {},
         {},
         42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(toHex(hkdfSHA256(test.ikm, test.salt, test.info, test.length).bytes()), test.okm);
    }
}

// RFC 8439 section 2.8.2.
TEST(ChaChaPoly, MatchesRFC8439VectorAndRejectsTampering) {
    const std::string plaintext =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.";
    const SymmetricKey key(
        fromHex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"));
    const Bytes nonce = fromHex("070000004041424344454647");
    const Bytes aad = fromHex("50515253c0c1c2c3c4c5c6c7");
    const std::string expected =
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da"
        "92"
        "728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad67594558580"
        "8b"
        "4831d7bc3ff4def08e4b7a9de576d26586cec64b6116"
        "1ae10b594f09e26a7e902ecbd0600691";

    const Bytes sealed = ChaChaPoly::seal(key, nonce, asBytes(plaintext), aad);
    ASSERT_EQ(toHex(sealed), expected);
    const ByteView body(sealed.data(), plaintext.size());
    const ByteView tag(sealed.data() + plaintext.size(), ChaChaPoly::tagLength);
    EXPECT_EQ(toText(ChaChaPoly::open(key, nonce, body, tag, aad)), plaintext);

    Bytes tampered = sealed;
    tampered[3] ^= 0x01;
    expectCryptoError(
        [&] { ChaChaPoly::open(key, nonce, ByteView(tampered).first(body.size()), tag, aad); },
        CryptoError::authenticationFailed);
    expectCryptoError([&] { ChaChaPoly::open(key, nonce, body, tag, Bytes{}); },
                      CryptoError::authenticationFailed);
    expectCryptoError([&] { ChaChaPoly::seal(SymmetricKey(Bytes(31, 0)), nonce, {}, {}); },
                      CryptoError::invalidKey);
    expectCryptoError([&] { ChaChaPoly::seal(key, Bytes(8, 0), {}, {}); },
                      CryptoError::invalidNonce);
}

TEST(SymmetricKey, ComparesByValueAndMovesLeaveNothingBehind) {
    SymmetricKey a(Bytes{1, 2, 3});
    const SymmetricKey copy = a;
    EXPECT_EQ(a, copy);
    EXPECT_FALSE(a == SymmetricKey(Bytes{1, 2, 4}));
    SymmetricKey moved = std::move(a);
    EXPECT_EQ(moved, copy);
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from key is empty
    EXPECT_EQ(SymmetricKey::random(32).size(), 32u);
    EXPECT_FALSE(SymmetricKey::random(32) == SymmetricKey::random(32));
}

}  // namespace
}  // namespace kestrel
