#pragma once

// What a sign request is for, read from the data the agent is asked to sign, so that the user
// sees "log in as “git”" or "sign for “git”" rather than bytes. Only for showing: the request
// goes to the agent exactly as it came, whatever this finds. The data comes from the device,
// which may lie; a purpose is what the data claims, and is only named when the data has that
// shape exactly, with nothing left over.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.hpp"

namespace kestrel {

struct SignPurpose {
    enum class Kind {
        // SSH user authentication (RFC 4252 section 7, or OpenSSH's host-bound variant): name is
        // the user name.
        login,
        // An SSHSIG signature (ssh-keygen -Y sign, Git with gpg.format ssh): name is the
        // namespace.
        signature,
        // Anything else.
        data,
    };

    Kind kind = Kind::data;
    std::string name;  // as the data has it: may hold any bytes but NUL
    std::size_t dataLength = 0;

    // One phrase for the user, with the name made safe to show: "log in as “git”",
    // "sign for “git” (a Git commit or tag)", "sign 1,234 bytes of data".
    std::string description() const;

    friend bool operator==(const SignPurpose&, const SignPurpose&) = default;
};

// "login", "signature" or "data", for JSON.
std::string_view signPurposeKindName(SignPurpose::Kind kind) noexcept;

// What the data of a sign request for keyBlob is for. Never throws: data that is not exactly a
// login with this key or an SSHSIG is data.
SignPurpose signPurpose(ByteView keyBlob, ByteView data);

// The key's SHA256 fingerprint as ssh-keygen -l and ssh-add -l print it: "SHA256:" and the
// unpadded base64 of the SHA-256 of the key blob.
std::string keyFingerprint(ByteView keyBlob);

// Whether text has the form of such a fingerprint.
bool isKeyFingerprint(std::string_view text) noexcept;

// The key as the user knows it: its comment (made safe to show) and fingerprint,
// "“me@laptop” SHA256:…", or the fingerprint alone when the comment is unknown or empty.
std::string describeKey(std::string_view fingerprint, const std::optional<std::string>& comment);

}  // namespace kestrel
