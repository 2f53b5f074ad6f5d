#pragma once

// SSH wire encoding (RFC 4251 section 5): bytes, big-endian uint32 and length-prefixed strings.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "protocol/bytes.hpp"

namespace kestrel {

enum class SSHWireError {
    truncated = 1,  // a read needed more bytes than remain
};

const std::error_category& sshWireCategory() noexcept;
std::error_code make_error_code(SSHWireError error) noexcept;

class SSHWireWriter {
public:
    void writeByte(std::uint8_t value);
    void writeUInt32(std::uint32_t value);
    // Writes the length as uint32, then the bytes. Input longer than 4,294,967,295 bytes cannot
    // be expressed and throws std::length_error; the relay never builds such a message.
    void writeString(ByteView bytes);
    void writeString(std::string_view text);

    const Bytes& bytes() const noexcept { return bytes_; }
    Bytes data() const { return bytes_; }

private:
    Bytes bytes_;
};

// Reads one message. The reader keeps its own copy of the input; every read checks what
// remains before it takes (or allocates) anything, so a length field can never make it read
// or reserve more than the input holds. After an error the reader is abandoned.
class SSHWireReader {
public:
    explicit SSHWireReader(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}

    std::uint8_t readByte();
    std::uint32_t readUInt32();
    Bytes readString();
    Bytes readStringData() { return readString(); }

    std::size_t offset() const noexcept { return offset_; }
    bool isAtEnd() const noexcept { return offset_ >= bytes_.size(); }
    std::size_t remaining() const noexcept { return bytes_.size() - offset_; }

private:
    void require(std::uint64_t count) const;

    Bytes bytes_;
    std::size_t offset_ = 0;
};

}  // namespace kestrel

template <>
struct std::is_error_code_enum<kestrel::SSHWireError> : std::true_type {};
