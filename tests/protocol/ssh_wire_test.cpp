#include "protocol/ssh_wire.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace kestrel {
namespace {

TEST(SSHWireWriter, EncodesIntegersAndStringsBigEndianWithLengthPrefix) {
    SSHWireWriter writer;
    writer.writeUInt32(258);
    writer.writeUInt32(std::numeric_limits<std::uint32_t>::max());
    writer.writeByte(0x7F);
    writer.writeString(std::string_view("abc"));
    writer.writeString(Bytes{});
    const Bytes expected{0, 0, 1, 2,   0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0,
                         0, 0, 3, 'a', 'b',  'c',  0,    0,    0,    0};
    EXPECT_EQ(writer.data(), expected);
}

TEST(SSHWireReader, ReadsBackWhatTheWriterWrote) {
    SSHWireWriter writer;
    writer.writeByte(13);
    writer.writeUInt32(258);
    writer.writeString(Bytes{1, 2, 3});
    writer.writeString(std::string_view(""));

    SSHWireReader reader(writer.bytes());
    EXPECT_EQ(reader.readByte(), 13);
    EXPECT_EQ(reader.readUInt32(), 258u);
    EXPECT_EQ(reader.readString(), (Bytes{1, 2, 3}));
    EXPECT_EQ(reader.offset(), 12u);
    EXPECT_EQ(reader.readStringData(), Bytes{});
    EXPECT_TRUE(reader.isAtEnd());
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(SSHWireReader, ExactlyFourBytesReadAsOneIntegerAndEnd) {
    SSHWireReader reader(Bytes{0, 0, 1, 2});
    EXPECT_EQ(reader.readUInt32(), 258u);
    EXPECT_TRUE(reader.isAtEnd());
}

struct TruncatedCase {
    const char* name;
    Bytes input;
    void (*read)(SSHWireReader&);
    std::size_t offsetAfter;
};

TEST(SSHWireReader, ReadsPastTheEndFailWithTruncated) {
    const TruncatedCase cases[] = {
        {"byte of empty", {}, [](SSHWireReader& r) { r.readByte(); }, 0},
        {"uint32 of three bytes", {0, 0, 1}, [](SSHWireReader& r) { r.readUInt32(); }, 0},
        {"string shorter than its length",
         {0, 0, 0, 5, 'a', 'b'},
         [](SSHWireReader& r) { r.readString(); },
         4},
        {"string length near 2^32",
         {0xFF, 0xFF, 0xFF, 0xFF, 'a'},
         [](SSHWireReader& r) { r.readString(); },
         4},
        {"string with no length", {0, 0}, [](SSHWireReader& r) { r.readStringData(); }, 0},
    };
    for (const TruncatedCase& test : cases) {
        SCOPED_TRACE(test.name);
        SSHWireReader reader(test.input);
        try {
            test.read(reader);
            ADD_FAILURE() << "read succeeded";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), SSHWireError::truncated);
        }
        EXPECT_EQ(reader.offset(), test.offsetAfter);
    }
}

TEST(SSHWireReader, KeepsItsOwnCopyOfTheInput) {
    Bytes input{0, 0, 0, 1, 'x'};
    SSHWireReader reader(input);
    input.assign(input.size(), 0);
    EXPECT_EQ(reader.readString(), Bytes{'x'});
}

}  // namespace
}  // namespace kestrel
