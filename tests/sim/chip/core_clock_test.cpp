// The core's cycle count read off virtual time: exact whole cycles however far time jumps, with the
// count carried across a change of HCLK, and the division by the period done as a multiplication that
// must agree with the division for every time it is given.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "core_clock.h"

namespace {

using sim::CoreClock;
using sim::Cycles;
using sim::Picos;

TEST(CoreClock, CountsWholeCyclesAcrossShortStepsLongJumpsAndAClockChange)
{
    Picos now = 0;
    CoreClock clock(now, sim::period_of(16'000'000));  // 62 500 ps
    std::mt19937 random(11);
    Cycles before_change{0};
    Picos changed_at = 0;
    const Picos fast = sim::period_of(100'000'000);  // 10 000 ps
    for (int i = 0; i < 200'000; ++i) {
        // Mostly steps of a few cycles (a poll), now and then a jump of up to a few seconds.
        now += (i % 1000 == 999) ? random() % sim::seconds(3) : random() % 200'000;
        if (i == 100'000) {
            before_change = clock.cycles();
            changed_at = now;
            clock.change_period(fast);
        }
        const Cycles expected = i < 100'000 ? Cycles(now / 62'500) : before_change + Cycles((now - changed_at) / fast);
        ASSERT_EQ(clock.cycles(), expected) << "at " << now << " ps, step " << i;
    }
}

TEST(CoreClock, ReciprocalAgreesWithTheDivisionAtEveryEdgeOfACycle)
{
    // The chip's clocks, and periods that are not round: odd, a power of two, one past it.
    for (Picos period : {Picos{10'000}, Picos{62'500}, Picos{40'000}, Picos{31'250'000}, Picos{9'973}, Picos{65'536},
                         Picos{65'537}, Picos{2}, Picos{3}}) {
        Picos now = 0;
        CoreClock clock(now, period);
        // Just before and at each cycle's edge, beyond the largest time the anchor lets through (up to
        // 2^32 ps, less where the reciprocal's rounding allows less), with the anchor moving as it goes.
        const Picos last = Picos{1} << 33;
        for (Picos edge = period; edge < last; edge += period * (1 + edge / (period * 1024))) {
            now = edge - 1;
            ASSERT_EQ(clock.cycles(), Cycles(now / period)) << "period " << period << ", " << now << " ps";
            now = edge;
            ASSERT_EQ(clock.cycles(), Cycles(now / period)) << "period " << period << ", " << now << " ps";
        }
    }
}

TEST(CoreClock, RefusesAPeriodItCannotDivideBy)
{
    // Below 2 ps the reciprocal no longer fits its word; above 2^31 ps a step would hold no whole cycle.
    Picos now = 0;
    EXPECT_THROW(CoreClock(now, 1), std::invalid_argument);
    EXPECT_THROW(CoreClock(now, (Picos{1} << 31) + 1), std::invalid_argument);
    CoreClock clock(now, 10'000);
    EXPECT_THROW(clock.change_period(0), std::invalid_argument);
}

}  // namespace
