// Cycle-counter waits: the counter set-up, cycles per microsecond, and how long a wait really lasts on
// the simulated core.
#include <gtest/gtest.h>

#include "delays.h"
#include "onewire_bench.h"

namespace {

class DelayTest : public test::OneWireBench {
protected:
    // Virtual time taken by `wait`.
    template <typename Wait>
    sim::Picos timed(Wait wait)
    {
        sim::Picos start = chip.now();
        wait();
        return chip.now() - start;
    }
};

TEST_F(DelayTest, InitEnablesTheCounterWithoutResettingIt)
{
    CoreDebug->DEMCR = 0;
    DWT->CTRL = 0;
    DWT->CYCCNT = 5000;
    delay_us_dwt_init();
    EXPECT_NE(CoreDebug->DEMCR & (1U << 24), 0U);
    EXPECT_NE(DWT->CTRL & 1U, 0U);
    uint32_t first = DWT->CYCCNT;
    EXPECT_GT(first, 5000U);
    EXPECT_GT(DWT->CYCCNT, first);  // counting
}

TEST_F(DelayTest, CyclesPerMicrosecondDropTheFraction)
{
    for (auto [hz, expected] : {std::pair{100'000'000U, 100U}, {16'000'000U, 16U}, {99'900'000U, 99U}}) {
        SystemCoreClock = hz;
        delay_us_dwt_init();
        EXPECT_EQ(pasos, expected) << hz;
    }
}

TEST_F(DelayTest, WaitLastsAtLeastTheRequestAndLittleMore)
{
    // A zero wait ends on its first read of the counter, which has already passed 0.
    EXPECT_LE(timed([] { delay_us_dwt(0); }), cycles(8));

    // At least reta * pasos + 1 cycles; the accelerated poll overshoots by at most its stride's share of
    // the wait plus a few accesses and any tick interrupt (24 cycles) that lands inside.
    for (uint32_t us : {1U, 3U, 8U, 60U, 480U}) {
        sim::Picos took = timed([us] { delay_us_dwt(us); });
        sim::Picos requested = cycles(uint64_t{us} * 100 + 1);
        EXPECT_GE(took, requested) << us << " us";
        EXPECT_LE(took, requested + requested / sim::Chip::kCounterStrideDivisor + cycles(8 + 24)) << us << " us";
    }
}

TEST_F(DelayTest, FourSecondsAreAtLeastFourHundredMillionAndOneCycles)
{
    const sim::Cycles before = chip.core_cycles();
    Delay_ms(4000);
    const uint64_t took = sim::count_of(chip.core_cycles() - before);
    EXPECT_GE(took, 400'000'001U);
    EXPECT_LE(took, 400'000'001U + 400'000'001U / 16 + 4000U * 24U + 16U);
    EXPECT_GT(uwTick, 3990U);  // the tick ran meanwhile and did not disturb the wait
}

}  // namespace
