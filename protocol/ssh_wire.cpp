#include "protocol/ssh_wire.hpp"

#include <limits>
#include <stdexcept>

#include "protocol/error_category.hpp"

namespace kestrel {
namespace {

const char* describe(SSHWireError error) noexcept {
    switch (error) {
        case SSHWireError::truncated: return "SSH wire data truncated";
    }
    return "unknown SSH wire error";
}

}  // namespace

const std::error_category& sshWireCategory() noexcept {
    static const detail::EnumErrorCategory<SSHWireError> category("kestrel.ssh-wire", describe);
    return category;
}

std::error_code make_error_code(SSHWireError error) noexcept {
    return {static_cast<int>(error), sshWireCategory()};
}

void SSHWireWriter::writeByte(std::uint8_t value) { bytes_.push_back(value); }

void SSHWireWriter::writeUInt32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void SSHWireWriter::writeString(ByteView bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("SSH wire string longer than 4 GiB");
    }
    writeUInt32(static_cast<std::uint32_t>(bytes.size()));
    append(bytes_, bytes);
}

void SSHWireWriter::writeString(std::string_view text) { writeString(asBytes(text)); }

void SSHWireReader::require(std::uint64_t count) const {
    // 64-bit arithmetic: a uint32 length added to the offset never wraps.
    if (static_cast<std::uint64_t>(offset_) + count > bytes_.size()) {
        throw std::system_error(SSHWireError::truncated);
    }
}

std::uint8_t SSHWireReader::readByte() {
    require(1);
    return bytes_[offset_++];
}

std::uint32_t SSHWireReader::readUInt32() {
    require(4);
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | bytes_[offset_++];
    return value;
}

Bytes SSHWireReader::readString() {
    const std::uint32_t length = readUInt32();
    require(length);
    const auto start = bytes_.begin() + static_cast<std::ptrdiff_t>(offset_);
    offset_ += length;
    return {start, start + length};
}

}  // namespace kestrel
