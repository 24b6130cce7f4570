// Classifying a block of Thumb code: instruction count (the cycles charged), floating point (faults
// unless CPACR grants it), and whether it can change anything but registers (a waiting loop cannot).
#include <gtest/gtest.h>

#include <vector>

#include "block_cache.h"
#include "thumb_code.h"

namespace {

using sim::cpu::BlockCache;

TEST(BlockCache, CountsSixteenAndThirtyTwoBitInstructions)
{
    // movs r0, #0 | ldr.w r1, [r2, #4] | bl (32-bit) | vadd.f32 s0, s0, s0 (32-bit) | bx lr
    auto code = thumb_code({0x2000, 0xF8D2, 0x1004, 0xF000, 0xF800, 0xEE30, 0x0A00, 0x4770});
    EXPECT_EQ(BlockCache::count_instructions(code.data(), static_cast<uint32_t>(code.size())), 5U);
}

TEST(BlockCache, FindsTheFirstFloatingPointInstructionAndWhatChangesMemory)
{
    BlockCache cache;
    // ldr r2, [r3, #4] | cmp r2, r0 | bls back: a poll of the cycle counter, registers only.
    auto poll = thumb_code({0x685A, 0x4282, 0xD9FC});
    const auto& p = cache.lookup(0x08000100, static_cast<uint32_t>(poll.size()), poll.data());
    EXPECT_EQ(p.instructions, 3U);
    EXPECT_FALSE(p.first_fp.has_value());
    EXPECT_TRUE(p.only_registers);
    ASSERT_TRUE(p.registers_known);
    EXPECT_EQ(p.live_in, (1U << 3) | (1U << 0));  // r3 and r0 read; r2 written before it is read
    EXPECT_TRUE(p.written & (1U << 2));

    // movs r0, #1 | vadd.f32 s0, s0, s0: floating point at the second instruction.
    auto fp = thumb_code({0x2001, 0xEE30, 0x0A00});
    const auto& f = cache.lookup(0x08000200, static_cast<uint32_t>(fp.size()), fp.data());
    ASSERT_TRUE(f.first_fp.has_value());
    EXPECT_EQ(*f.first_fp, 0x08000202U);
    EXPECT_FALSE(f.only_registers);

    // str r1, [r0] and cpsie i each change more than registers.
    auto store = thumb_code({0x6001});
    EXPECT_FALSE(cache.lookup(0x08000300, 2, store.data()).only_registers);
    auto unmask = thumb_code({0xB662});
    EXPECT_FALSE(cache.lookup(0x08000400, 2, unmask.data()).only_registers);
}

}  // namespace

namespace {

// A block's cycles as the core issues them, and where its accesses to the chip's registers start.
TEST(BlockCache, SumsTheTimingTableWithPipelinedLoadsAndFoldedItAndPlacesEachAccess)
{
    BlockCache cache;
    // ldr r0,[r1] 2 | str r0,[r2] 1 (behind a load) | str r0,[r3] 2 (nothing behind a store) | adds 1 |
    // it eq 0 (folded onto the 16-bit adds) | moveq r0,r1 1 | ldr r0,[sp,#4] 2 (the stack: no site) |
    // ldmia r1!,{r2,r3} 1 + 2
    auto code = thumb_code({0x6808, 0x6010, 0x6018, 0x3001, 0xBF08, 0x4608, 0x9801, 0xC90C});
    const auto& b = cache.lookup(0x08000500, static_cast<uint32_t>(code.size()), code.data());
    EXPECT_EQ(b.instructions, 8U);
    EXPECT_EQ(b.cycles, 12U);
    struct Site {
        uint32_t pc, at, own, base, span;
    };
    const Site expected[] = {
        {0x08000500, 0, 2, 1, 4}, {0x08000502, 2, 1, 2, 4}, {0x08000504, 3, 2, 3, 4}, {0x0800050E, 9, 3, 1, 8}};
    ASSERT_EQ(b.accesses.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(b.accesses[i].pc, expected[i].pc) << i;
        EXPECT_EQ(b.accesses[i].at, expected[i].at) << i;
        EXPECT_EQ(b.accesses[i].own, expected[i].own) << i;
        EXPECT_EQ(b.accesses[i].base, expected[i].base) << i;
        EXPECT_EQ(b.accesses[i].span, expected[i].span) << i;
    }

    // ldr.w r1,[r2,#4] 2 | it eq 1 (behind a 32-bit instruction: not folded) | moveq r0,r1 1
    auto wide = thumb_code({0xF8D2, 0x1004, 0xBF08, 0x4608});
    EXPECT_EQ(cache.lookup(0x08000600, static_cast<uint32_t>(wide.size()), wide.data()).cycles, 4U);
}

}  // namespace
