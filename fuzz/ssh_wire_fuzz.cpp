// SSHWireReader driven by a read sequence chosen by the input, checked against a model of the
// wire format: a read succeeds exactly when the bytes it needs are there, never moves past the
// end, and what it returns, written back with SSHWireWriter, is the bytes it consumed.
//
// Input: one byte n, then n % 16 bytes of read choices (four 2-bit choices per byte: byte,
// uint32, string, string data), then the message that is read.
#include <cstddef>
#include <cstdint>
#include <system_error>

#include "fuzz_support.hpp"
#include "protocol/ssh_wire.hpp"

namespace {

using namespace kestrel;

enum class Read { byte, uint32, string, stringData };

std::uint64_t bigEndian32(ByteView bytes) {
    return std::uint64_t{bytes[0]} << 24 | std::uint64_t{bytes[1]} << 16 |
           std::uint64_t{bytes[2]} << 8 | bytes[3];
}

// Whether the read at `offset` needs more bytes than the message holds.
bool runsPastTheEnd(ByteView message, std::size_t offset, Read read) {
    const std::size_t remaining = message.size() - offset;
    switch (read) {
        case Read::byte: return remaining < 1;
        case Read::uint32: return remaining < 4;
        case Read::string:
        case Read::stringData:
            return remaining < 4 || remaining - 4 < bigEndian32(message.subspan(offset, 4));
    }
    return true;
}

void perform(SSHWireReader& reader, SSHWireWriter& echo, Read read) {
    switch (read) {
        case Read::byte: echo.writeByte(reader.readByte()); break;
        case Read::uint32: echo.writeUInt32(reader.readUInt32()); break;
        case Read::string: echo.writeString(reader.readString()); break;
        case Read::stringData: echo.writeString(reader.readStringData()); break;
    }
}

void checkPosition(const SSHWireReader& reader, const SSHWireWriter& echo, ByteView message) {
    fuzz::require(reader.offset() <= message.size(), "offset beyond the end");
    fuzz::require(reader.remaining() == message.size() - reader.offset(), "remaining() wrong");
    fuzz::require(reader.isAtEnd() == (reader.offset() == message.size()), "isAtEnd() wrong");
    const ByteView consumed = message.first(reader.offset());
    fuzz::require(Bytes(consumed.begin(), consumed.end()) == echo.bytes(),
                  "the values read do not write back to the bytes consumed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(ByteView(data, size));
    const ByteView choices = input.take(input.byte() % 16);
    const ByteView message = input.rest();

    SSHWireReader reader(message);
    SSHWireWriter echo;
    for (const std::uint8_t choice : choices) {
        for (int shift = 0; shift < 8; shift += 2) {
            const auto read = static_cast<Read>(choice >> shift & 3);
            const std::size_t before = reader.offset();
            try {
                perform(reader, echo, read);
            } catch (const std::system_error& error) {
                if (error.code() != SSHWireError::truncated) throw;
                fuzz::require(runsPastTheEnd(message, before, read),
                              "truncated although the message held the bytes");
                fuzz::require(reader.offset() <= message.size(), "offset beyond the end");
                return 0;  // a reader is abandoned after its first error
            }
            fuzz::require(!runsPastTheEnd(message, before, read), "read past the end succeeded");
            checkPosition(reader, echo, message);
        }
    }
    return 0;
}
