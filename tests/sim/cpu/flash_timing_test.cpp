// Where a decoded block reads the flash (the lines its instructions enter, a 32-bit instruction across a
// line's end, its literal loads at their address), and how the block's stalls move what comes after
// them in the block.
#include <gtest/gtest.h>

#include <vector>

#include "block_cache.h"
#include "flash_timing.h"

namespace {

using sim::FlashAccelerator;
using sim::cpu::BlockCache;
using sim::cpu::FlashRead;
using sim::cpu::FlashStalls;

std::vector<uint8_t> halfwords(std::initializer_list<uint16_t> list)
{
    std::vector<uint8_t> out;
    for (uint16_t h : list) {
        out.push_back(static_cast<uint8_t>(h));
        out.push_back(static_cast<uint8_t>(h >> 8));
    }
    return out;
}

// nop | nop | mov.w r0, #0 (across the line's end at 0x10) | ldr r1, [pc, #8] | nop
const std::vector<uint8_t> kCode = halfwords({0xBF00, 0xBF00, 0xF04F, 0x0000, 0x4902, 0xBF00});

TEST(FlashTiming, ABlockInFlashReadsEachLineItEntersAndItsLiteralsLines)
{
    struct Row {
        uint32_t address;
        std::vector<FlashRead> reads;
    };
    const Row rows[] = {
        // The mov.w starts at 0x0E, cycle 2, and needs line 1 too; the literal at (0x12 + 4) + 8 = 0x1C
        // is in line 1, loaded at cycle 3.
        {0x0800000A, {{0x0, 0, false}, {0x1, 2, false}, {0x1, 3, true}}},
        // The alias at 0: the same lines.
        {0x0000000A, {{0x0, 0, false}, {0x1, 2, false}, {0x1, 3, true}}},
        // In SRAM: the code and its literal are SRAM's.
        {0x2000000A, {}},
    };
    for (const Row& row : rows) {
        BlockCache cache;
        const auto& info = cache.lookup(row.address, static_cast<uint32_t>(kCode.size()), kCode.data());
        ASSERT_EQ(info.flash_reads.size(), row.reads.size()) << std::hex << row.address;
        for (size_t i = 0; i < row.reads.size(); ++i) {
            EXPECT_EQ(info.flash_reads[i].line, row.reads[i].line) << std::hex << row.address << " read " << i;
            EXPECT_EQ(info.flash_reads[i].at, row.reads[i].at) << std::hex << row.address << " read " << i;
            EXPECT_EQ(info.flash_reads[i].data, row.reads[i].data) << std::hex << row.address << " read " << i;
        }
    }
}

TEST(FlashTiming, AStallMovesOnlyWhatComesAfterItInTheBlock)
{
    FlashAccelerator accelerator;
    accelerator.configure({.latency = 3});
    FlashStalls stalls;
    const std::vector<FlashRead> reads = {{0x0, 0, false}, {0x1, 2, false}, {0x1, 3, true}};
    const sim::Picos period = 10'000;  // 100 MHz
    // Every read pays 3 cycles: nothing cached, no prefetch.
    EXPECT_EQ(stalls.begin(reads, 0, period, accelerator), 9 * period);
    EXPECT_EQ(stalls.until(0), 3 * period) << "the block's first line, before its first instruction";
    EXPECT_EQ(stalls.until(1), 0U) << "nothing between";
    EXPECT_EQ(stalls.until(3), 6 * period) << "the next line's fetch and the literal, given once";
    EXPECT_EQ(stalls.until(9), 0U);
    // A block with no flash reads forgets the last one's.
    EXPECT_EQ(stalls.begin({}, 0, period, accelerator), 0U);
    EXPECT_EQ(stalls.until(9), 0U);
}

TEST(FlashTiming, APrefetchEndingInsideACycleStallsTheWholeCycle)
{
    FlashAccelerator accelerator;
    accelerator.configure({.latency = 3, .prefetch = true});
    FlashStalls stalls;
    const sim::Picos period = 10'000;
    // Line 0 read at 0 (3 cycles), line 1 prefetched by 6 cycles; a block entering line 1 at 5.5 cycles
    // waits half a cycle: one whole cycle.
    stalls.begin({{0x0, 0, false}}, 0, period, accelerator);
    EXPECT_EQ(stalls.begin({{0x1, 0, false}}, 5 * period + period / 2, period, accelerator), period);
}

}  // namespace
