// Where a decoded block reads the flash (the lines its instructions enter, a 32-bit instruction across a
// line's end, its literal loads at their address), and how the block's stalls move what comes after
// them in the block.
#include <gtest/gtest.h>

#include <vector>

#include "block_cache.h"
#include "flash_timing.h"
#include "thumb_code.h"

namespace {

using sim::FlashAccelerator;
using sim::cpu::BlockCache;
using sim::cpu::FlashRead;
using sim::cpu::FlashStalls;

// nop | nop | mov.w r0, #0 (across the line's end at 0x10) | ldr r1, [pc, #8] | nop
const std::vector<uint8_t> kCode = thumb_code({0xBF00, 0xBF00, 0xF04F, 0x0000, 0x4902, 0xBF00});

TEST(FlashTiming, ABlockInFlashReadsEachLineItEntersAndItsLiteralsLines)
{
    struct Row {
        uint32_t address;
        std::vector<FlashRead> reads;
    };
    const Row rows[] = {
        // The mov.w starts at 0x0E, cycle 2, and needs line 1 too; the literal at (0x12 + 4) + 8 = 0x1C
        // is in line 1, loaded at cycle 3.
        {0x0800000A, {{0x0, 0, false, true}, {0x1, 2, false, false}, {0x1, 3, true, false}}},
        // The alias at 0: the same lines.
        {0x0000000A, {{0x0, 0, false, true}, {0x1, 2, false, false}, {0x1, 3, true, false}}},
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
            EXPECT_EQ(info.flash_reads[i].first, row.reads[i].first) << std::hex << row.address << " read " << i;
        }
    }
}

TEST(FlashTiming, AStallMovesOnlyWhatComesAfterItInTheBlock)
{
    FlashAccelerator accelerator;
    accelerator.configure({.latency = 3});
    FlashStalls stalls;
    const std::vector<FlashRead> reads = {{0x0, 0, false, true}, {0x1, 2, false, false}, {0x1, 3, true, false}};
    const sim::Picos period = 10'000;  // 100 MHz
    // Every read pays 3 cycles: nothing cached, no prefetch.
    EXPECT_EQ(stalls.begin(reads, period, accelerator), 9 * period);
    EXPECT_EQ(stalls.until(0), 3 * period) << "the block's first line, before its first instruction";
    EXPECT_EQ(stalls.until(1), 0U) << "nothing between";
    EXPECT_EQ(stalls.until(3), 6 * period) << "the next line's fetch and the literal, given once";
    EXPECT_EQ(stalls.until(9), 0U);
    // A block with no flash reads forgets the last one's.
    EXPECT_EQ(stalls.begin({}, period, accelerator), 0U);
    EXPECT_EQ(stalls.until(9), 0U);
}

TEST(FlashTiming, APrefetchIsTimedInsideTheBlockAndDoneAtItsStart)
{
    FlashAccelerator accelerator;
    accelerator.configure({.latency = 3, .prefetch = true});
    FlashStalls stalls;
    const sim::Picos period = 10'000;
    EXPECT_EQ(stalls.begin({{0x0, 0, false, true}}, period, accelerator), 3 * period) << "a miss";
    // Line 1, prefetched, starts the next block: what ran before is not known, the prefetch counts as
    // done; line 2 comes one cycle into line 1: 2 of its 3 cycles left.
    const std::vector<FlashRead> next = {{0x1, 0, false, true}, {0x2, 1, false, false}};
    EXPECT_EQ(stalls.begin(next, period, accelerator), 2 * period);
    EXPECT_EQ(stalls.until(0), 0U);
    EXPECT_EQ(stalls.until(1), 2 * period);
}

}  // namespace
