// The cycle counter: it counts core cycles only while both the trace unit (DEMCR TRCENA) and the
// counter (CTRL CYCCNTENA) are on, holds its count while either is off, carries on from a written
// value, and wraps at 32 bits however far time jumps.
#include <gtest/gtest.h>

#include <cstdint>

#include "chip.h"

namespace {

constexpr uint32_t kCtrl = 0x0, kCyccnt = 0x4, kDemcr = 0xC;
constexpr uint32_t kTrcena = 1U << 24;

class CycleCounterTest : public ::testing::Test {
protected:
    // The low half of the core's cycle count, which is all a 32-bit counter can follow.
    uint32_t core_cycles() const { return static_cast<uint32_t>(sim::count_of(chip.core_cycles())); }
    // Lets time pass without any access to the counter, and returns the core cycles that went by.
    uint32_t pass(sim::Picos dt)
    {
        const uint32_t before = core_cycles();
        chip.run_until(chip.now() + dt);
        return core_cycles() - before;
    }
    uint32_t count() { return chip.dwt.read(kCyccnt, 4); }

    sim::Chip chip;
};

TEST_F(CycleCounterTest, CountsOnlyWhileTraceAndCounterAreBothOnAndHoldsItsCountBetween)
{
    pass(sim::microseconds(10));
    EXPECT_EQ(count(), 0U);
    chip.dwt.write(kCtrl, 1, 4);  // the counter on, the trace unit still off: no count
    pass(sim::microseconds(10));
    EXPECT_EQ(count(), 0U);

    chip.core_debug.write(kDemcr, kTrcena, 4);
    uint32_t counted = pass(sim::microseconds(10));
    ASSERT_GT(counted, 0U);
    EXPECT_EQ(count(), counted);

    // Off by the counter's own bit: the count stays; on again, it carries on from there.
    chip.dwt.write(kCtrl, 0, 4);
    const uint32_t held = count();
    pass(sim::microseconds(7));
    EXPECT_EQ(count(), held);
    chip.dwt.write(kCtrl, 1, 4);
    counted = pass(sim::microseconds(3));
    EXPECT_EQ(count(), held + counted);

    // Off by the trace unit: the same.
    chip.core_debug.write(kDemcr, 0, 4);
    const uint32_t held_again = count();
    pass(sim::microseconds(5));
    EXPECT_EQ(count(), held_again);
    EXPECT_FALSE(chip.dwt.free_running(kCyccnt));

    // A value written while stopped is where counting resumes.
    chip.dwt.write(kCyccnt, 1000, 4);
    EXPECT_EQ(count(), 1000U);
    chip.core_debug.write(kDemcr, kTrcena, 4);
    EXPECT_TRUE(chip.dwt.free_running(kCyccnt));
    counted = pass(sim::microseconds(2));
    EXPECT_EQ(count(), 1000U + counted);
}

TEST_F(CycleCounterTest, AWriteWhileCountingRestartsFromTheValueAndTheCountWrapsAt32Bits)
{
    chip.core_debug.write(kDemcr, kTrcena, 4);
    chip.dwt.write(kCtrl, 1, 4);
    pass(sim::microseconds(50));

    // Just below the wrap: a few microseconds carry it over to a small count.
    chip.dwt.write(kCyccnt, 0xFFFFFF00U, 4);
    uint32_t counted = pass(sim::microseconds(40));
    ASSERT_GT(counted, 0x100U);
    EXPECT_EQ(count(), counted - 0x100U);

    // A jump of minutes at 16 MHz (past 2^32 cycles, with the core clock's anchor moved by long
    // steps): the count is still the cycles gone by, modulo 2^32.
    const uint32_t before = count();
    const uint64_t cycles_before = sim::count_of(chip.core_cycles());
    chip.run_until(chip.now() + sim::seconds(300));
    const uint64_t gone_by = sim::count_of(chip.core_cycles()) - cycles_before;
    ASSERT_GT(gone_by, uint64_t{1} << 32);
    EXPECT_EQ(count(), static_cast<uint32_t>(before + gone_by));

    // Then short steps again, each read agreeing with the cycles counted since the last.
    for (int i = 0; i < 1000; ++i) {
        const uint32_t last = count();
        counted = pass(sim::nanoseconds(700 + 13 * i));
        ASSERT_EQ(count(), last + counted) << "step " << i;
    }
}

}  // namespace
