// What a sign request is for: the shapes a real client signs, and data that only looks like
// them (cut short, with bytes left over, or naming another key) is shown as data.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/base64.hpp"
#include "protocol/ssh_agent_protocol.hpp"
#include "protocol/ssh_wire.hpp"
#include "relay/sign_purpose.hpp"

namespace kestrel {
namespace {

// ssh-keygen -l: 256 SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo me@laptop (ED25519)
const Bytes keyBlob =
    *base64Decode("AAAAC3NzaC1lZDI1NTE5AAAAIAYSqOa7E+AUIt+6UCnPWNrumkJTE4iDJOPYK9yJkDBH");
const Bytes otherKeyBlob =
    *base64Decode("AAAAC3NzaC1lZDI1NTE5AAAAIDwlzrsoKlBXtnyaEhlzpNnHWWtpUQx2rZ0KLzSZE5hE");

// The fields of a login request; each test case changes one.
struct Login {
    Bytes sessionID = Bytes(32, 0xA5);
    std::uint8_t message = 50;
    std::string user = "git";
    std::string service = "ssh-connection";
    std::string method = "publickey-hostbound-v00@openssh.com";
    std::uint8_t signatureFollows = 1;
    std::string algorithm = "ssh-ed25519";
    Bytes key = keyBlob;
    std::optional<Bytes> hostKey = otherKeyBlob;  // only with the host-bound method
    Bytes trailing;

    Bytes encoded() const {
        SSHWireWriter writer;
        writer.writeString(sessionID);
        writer.writeByte(message);
        writer.writeString(user);
        writer.writeString(service);
        writer.writeString(method);
        writer.writeByte(signatureFollows);
        writer.writeString(algorithm);
        writer.writeString(key);
        if (hostKey) writer.writeString(*hostKey);
        Bytes bytes = writer.data();
        bytes.insert(bytes.end(), trailing.begin(), trailing.end());
        return bytes;
    }
};

struct Signature {
    std::string magic = "SSHSIG";
    std::string space = "git";
    std::string reserved;
    std::string algorithm = "sha512";
    Bytes hash = Bytes(64, 0x11);

    Bytes encoded() const {
        SSHWireWriter writer;
        writer.writeString(space);
        writer.writeString(reserved);
        writer.writeString(algorithm);
        writer.writeString(hash);
        Bytes bytes(magic.begin(), magic.end());
        bytes.insert(bytes.end(), writer.bytes().begin(), writer.bytes().end());
        return bytes;
    }
};

TEST(SignPurpose, NamesLoginsAndSignatures) {
    const Login hostBound;
    Login plain;
    plain.method = "publickey";
    plain.hostKey.reset();
    Signature file;
    file.space = "file";
    file.algorithm = "sha256";
    file.hash = Bytes(32, 0x22);
    Signature other;
    other.space = "email@example.org";
    other.reserved = "anything";

    const struct {
        Bytes data;
        SignPurpose::Kind kind;
        std::string description;
    } cases[] = {
        {hostBound.encoded(), SignPurpose::Kind::login, "log in as \u201Cgit\u201D"},
        {plain.encoded(), SignPurpose::Kind::login, "log in as \u201Cgit\u201D"},
        {Signature().encoded(), SignPurpose::Kind::signature,
         "sign for \u201Cgit\u201D (a Git commit or tag)"},
        {file.encoded(), SignPurpose::Kind::signature,
         "sign for \u201C"
         "file\u201D (a file)"},
        {other.encoded(), SignPurpose::Kind::signature,
         "sign for \u201C"
         "email@example.org\u201D"},
        {Bytes(1234, 7), SignPurpose::Kind::data, "sign 1,234 bytes of data"},
        {Bytes(1, 7), SignPurpose::Kind::data, "sign 1 byte of data"},
        {Bytes(), SignPurpose::Kind::data, "sign 0 bytes of data"},
    };
    for (const auto& testCase : cases) {
        const SignPurpose purpose = signPurpose(keyBlob, testCase.data);
        EXPECT_EQ(purpose.kind, testCase.kind) << testCase.description;
        EXPECT_EQ(purpose.description(), testCase.description);
        EXPECT_EQ(purpose.dataLength, testCase.data.size());
    }
}

// Every way a login or signature can be wrong makes it data, never a named purpose.
TEST(SignPurpose, AnythingNotExactlyOfTheShapeIsData) {
    std::vector<std::pair<std::string, Bytes>> cases;
    const auto login = [&](const std::string& what, auto change) {
        Login fields;
        change(fields);
        cases.emplace_back(what, fields.encoded());
    };
    login("empty session identifier", [](Login& l) { l.sessionID.clear(); });
    login("another message", [](Login& l) { l.message = 51; });
    login("NUL in the user name", [](Login& l) { l.user = std::string("ro\0ot", 5); });
    login("another service", [](Login& l) { l.service = "ssh-userauth"; });
    login("another method", [](Login& l) { l.method = "password"; });
    login("no signature follows", [](Login& l) { l.signatureFollows = 0; });
    login("another key", [](Login& l) { l.key = otherKeyBlob; });
    login("host-bound without the host key", [](Login& l) { l.hostKey.reset(); });
    login("host-bound with an empty host key", [](Login& l) { l.hostKey = Bytes(); });
    login("plain with a host key after it", [](Login& l) { l.method = "publickey"; });
    login("a byte left over", [](Login& l) { l.trailing = {0}; });

    const auto signature = [&](const std::string& what, auto change) {
        Signature fields;
        change(fields);
        cases.emplace_back(what, fields.encoded());
    };
    signature("another magic", [](Signature& s) { s.magic = "SSHSIH"; });
    signature("empty namespace", [](Signature& s) { s.space.clear(); });
    signature("NUL in the namespace", [](Signature& s) { s.space = std::string("g\0it", 4); });
    signature("unknown hash", [](Signature& s) { s.algorithm = "md5"; });
    signature("hash of the wrong length", [](Signature& s) { s.hash.resize(32); });

    // Every prefix of a valid login and signature: a field cut anywhere.
    for (const Bytes& whole : {Login().encoded(), Signature().encoded()}) {
        for (std::size_t length = 0; length < whole.size(); ++length)
            cases.emplace_back("cut at " + std::to_string(length),
                               Bytes(whole.begin(), whole.begin() + length));
    }
    Bytes longer = Signature().encoded();
    longer.push_back(0);
    cases.emplace_back("a byte after the signature", longer);
    // A length field that claims far more than there is.
    cases.emplace_back("huge length", Bytes{0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3});

    for (const auto& [what, data] : cases) {
        const SignPurpose purpose = signPurpose(keyBlob, data);
        EXPECT_EQ(purpose.kind, SignPurpose::Kind::data) << what;
        EXPECT_EQ(purpose.dataLength, data.size()) << what;
    }
}

// The user name and namespace come from the device: shown with what would hide or rewrite
// text replaced, and cut when long, so that a line in the log stays one line.
TEST(SignPurpose, NamesAreShownSafely) {
    Login login;
    login.user = "root\n2026-12-11 relay: approved\x1B[2K\u202E";
    EXPECT_EQ(signPurpose(keyBlob, login.encoded()).description(),
              "log in as \u201Croot\uFFFD2026-12-11 relay: approved\uFFFD[2K\uFFFD\u201D");
    login.user = std::string(100, 'a');
    EXPECT_EQ(signPurpose(keyBlob, login.encoded()).description(),
              "log in as \u201C" + std::string(64, 'a') + "\u2026\u201D");
    login.user = "\xFF\xFEgit";
    EXPECT_EQ(signPurpose(keyBlob, login.encoded()).description(),
              "log in as \u201C\uFFFD\uFFFDgit\u201D");
    // The name is kept whole, as sent, for JSON.
    EXPECT_EQ(signPurpose(keyBlob, login.encoded()).name, "\xFF\xFEgit");
}

// The requests real ssh, ssh-keygen -Y sign and git commit -S sent an agent; each file is named
// after what made it ("login-rsa-3", "sshsig-git-rsa-5").
TEST(SignPurpose, RealRequestsOfOpenSSHAndGit) {
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KESTREL_SIGN_REQUEST_SEEDS)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const Bytes message{std::istreambuf_iterator<char>(file), {}};
        const auto deframed = SSHAgentProtocol::deframe(message);
        ASSERT_TRUE(deframed) << entry.path();
        const auto request = SSHAgentProtocol::decodeSignRequest(deframed->body);
        const SignPurpose purpose = signPurpose(request.keyBlob, request.data);
        const std::string name = entry.path().filename().string();
        const std::string user = purpose.name;
        if (name.starts_with("login-")) {
            EXPECT_EQ(purpose.kind, SignPurpose::Kind::login) << name;
            EXPECT_FALSE(user.empty()) << name;
        } else if (name.starts_with("sshsig-file-")) {
            EXPECT_EQ(purpose.description(),
                      "sign for \u201C"
                      "file\u201D (a file)")
                << name;
        } else {
            EXPECT_EQ(purpose.description(), "sign for \u201Cgit\u201D (a Git commit or tag)")
                << name;
        }
        ++seen;
    }
    EXPECT_EQ(seen, 6);
}

TEST(SignPurpose, FingerprintAndKeyAsOpenSSHPrintsThem) {
    const std::string fingerprint = keyFingerprint(keyBlob);
    EXPECT_EQ(fingerprint, "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo");
    EXPECT_TRUE(isKeyFingerprint(fingerprint));
    for (const std::string bad :
         {"GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo", "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vV",
          "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygoo=",
          "SHA256:GKJQKPlvNJ4QbHVwTPb2VLgSk8pse9vVD9PGnR0Ygo-", "MD5:GKJQ"})
        EXPECT_FALSE(isKeyFingerprint(bad)) << bad;
    EXPECT_EQ(describeKey(fingerprint, "me@laptop"), "\u201Cme@laptop\u201D " + fingerprint);
    EXPECT_EQ(describeKey(fingerprint, std::nullopt), fingerprint);
    EXPECT_EQ(describeKey(fingerprint, ""), fingerprint);
}

}  // namespace
}  // namespace kestrel
