// Counts of core cycles and timer ticks: they do not mix with each other or with picoseconds unless
// converted through a period, and they stay plain integers to the compiler.
#include <gtest/gtest.h>

#include <type_traits>

#include "sim_time.h"

namespace {

using sim::Cycles;
using sim::Picos;
using sim::Ticks;

template <typename A, typename B>
concept Addable = requires(A a, B b)
{
    a + b;
};
template <typename A, typename B>
concept Comparable = requires(A a, B b)
{
    a < b;
};

static_assert(std::is_scalar_v<Cycles> && sizeof(Cycles) == sizeof(uint64_t));  // returned in registers
static_assert(!std::is_convertible_v<Picos, Cycles> && !std::is_convertible_v<Cycles, Picos>);
static_assert(!std::is_convertible_v<Ticks, Cycles> && !std::is_convertible_v<Cycles, Ticks>);
static_assert(!Addable<Cycles, Ticks> && !Addable<Cycles, Picos> && !Addable<Picos, Ticks>);
static_assert(!Comparable<Cycles, Ticks> && !Comparable<Ticks, Picos>);
static_assert(Addable<Cycles, Cycles> && Comparable<Ticks, Ticks>);

TEST(SimTime, ConversionsGoThroughThePeriod)
{
    constexpr Picos core = sim::period_of(100'000'000);  // 10 ns
    static_assert(sim::cycles_to_picos(Cycles(12), core) == sim::nanoseconds(120));
    // A partial tick is not a tick: 1 us ticks, 2.999 us elapsed.
    static_assert(sim::picos_to_ticks(sim::nanoseconds(2999), sim::microseconds(1)) == Ticks(2));
    static_assert(sim::ticks_to_picos(Ticks(20001), sim::microseconds(1)) == sim::microseconds(20001));

    // Arithmetic within one clock, as a timer's period computation uses it.
    constexpr auto period = Ticks(20001);
    constexpr auto after = Ticks(50000);
    EXPECT_EQ(after / period, 2U);
    EXPECT_EQ(after % period, Ticks(9998));
    EXPECT_EQ((after / period + 1U) * period, Ticks(60003));
    auto c = Cycles(5);
    c += Cycles(3);
    c -= Cycles(1);
    EXPECT_EQ(c, Cycles(7));
    EXPECT_EQ(c * 2U, 2U * c);
    EXPECT_EQ(c / 2U, Cycles(3));
}

}  // namespace
