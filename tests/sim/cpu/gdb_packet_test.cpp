// The GDB remote protocol's framing: checksums, packets split across reads or run together, escapes.
#include <gtest/gtest.h>

#include "gdb_packet.h"

namespace {

using namespace sim::cpu::gdb;

TEST(GdbPacket, FramesWithTheModulo256Checksum)
{
    EXPECT_EQ(frame("OK"), "$OK#9a");
    EXPECT_EQ(frame(""), "$#00");
}

TEST(GdbPacket, TakesWholePacketsOnlyAndChecksThem)
{
    bool ok = false;
    std::string buffer = "+$m8000000,4#";  // an acknowledgement, then half a packet
    EXPECT_FALSE(take_packet(buffer, ok).has_value());
    buffer += "a1$g#67";  // the rest, and a second packet in the same read
    auto first = take_packet(buffer, ok);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, "m8000000,4");
    EXPECT_FALSE(ok);  // "a1" is not its checksum
    auto second = take_packet(buffer, ok);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, "g");
    EXPECT_TRUE(ok);
    EXPECT_TRUE(buffer.empty());

    buffer = frame("X20000000,1:}\x03");  // binary data: '}' escapes the next byte XOR 0x20 ('#')
    EXPECT_EQ(take_packet(buffer, ok).value_or(""), "X20000000,1:#");
}

TEST(GdbPacket, HexTextBothWays)
{
    EXPECT_EQ(word_hex(0x08000101U, 4), "01010008");  // little-endian, as registers go
    EXPECT_EQ(from_hex("72657365").value_or(""), "rese");
    EXPECT_FALSE(from_hex("7").has_value());
    EXPECT_FALSE(from_hex("zz").has_value());
    EXPECT_EQ(parse_number("20000000").value_or(0), 0x20000000U);
    EXPECT_FALSE(parse_number("").has_value());
    EXPECT_EQ(little_endian_value(std::string("\x01\x01\x00\x08", 4)), 0x08000101U);
}

}  // namespace
