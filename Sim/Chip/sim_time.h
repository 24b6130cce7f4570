// Virtual time of the simulated node. Time is kept in picoseconds so that every clock of the chip
// (16 MHz HSI: 62 500 ps a cycle, 25 MHz crystal: 40 000 ps, 100 MHz core: 10 000 ps, 50 MHz APB1:
// 20 000 ps) has a whole period; 2^64 ps is 213 days, far beyond any run.
#pragma once

#include <cstdint>
#include <type_traits>

namespace sim {

using Picos = uint64_t;

constexpr Picos kNever = UINT64_MAX;
constexpr Picos kPicosPerNano = 1'000ULL;
constexpr Picos kPicosPerMicro = 1'000'000ULL;
constexpr Picos kPicosPerMilli = 1'000'000'000ULL;
constexpr Picos kPicosPerSecond = 1'000'000'000'000ULL;

constexpr Picos nanoseconds(uint64_t n)
{
    return n * kPicosPerNano;
}
constexpr Picos microseconds(uint64_t n)
{
    return n * kPicosPerMicro;
}
constexpr Picos milliseconds(uint64_t n)
{
    return n * kPicosPerMilli;
}
constexpr Picos seconds(uint64_t n)
{
    return n * kPicosPerSecond;
}
constexpr double to_seconds(Picos t)
{
    return static_cast<double>(t) / static_cast<double>(kPicosPerSecond);
}
constexpr double to_micros(Picos t)
{
    return static_cast<double>(t) / static_cast<double>(kPicosPerMicro);
}

// Period of one cycle of a clock of `hz`, in picoseconds.
constexpr Picos period_of(uint32_t hz)
{
    return kPicosPerSecond / hz;
}

// A count of the edges of one clock: core cycles, or the ticks of a timer's counter. Counts of
// different clocks are different types, and neither mixes with picoseconds: going from one to the other
// takes the clock's period, through a conversion that names it. Each is a scoped enumeration over a
// 64-bit integer, not a class: to the compiler it is the integer itself (returned in registers on the
// 32-bit host, where a class would come back through memory), so the arithmetic on the 1 kHz tick's
// path compiles to what it did on bare integers. Cycles{n} or Cycles(n) makes one; count_of reads it.
// Cycles of the core clock (HCLK, whatever its frequency at each moment).
enum class Cycles : uint64_t {};
// Ticks of a timer's counter: TIM2's prescaled clock, SysTick's core clock or HCLK / 8.
enum class Ticks : uint64_t {};

template <typename T>
concept ClockCount = std::is_same_v<T, Cycles> || std::is_same_v<T, Ticks>;

template <ClockCount T>
constexpr uint64_t count_of(T n)
{
    return static_cast<uint64_t>(n);
}
// Comparison within one clock is the enumeration's own; arithmetic within one clock is this.
template <ClockCount T>
constexpr T operator+(T a, T b)
{
    return T(count_of(a) + count_of(b));
}
template <ClockCount T>
constexpr T operator-(T a, T b)
{
    return T(count_of(a) - count_of(b));
}
template <ClockCount T>
constexpr T& operator+=(T& a, T b)
{
    return a = a + b;
}
template <ClockCount T>
constexpr T& operator-=(T& a, T b)
{
    return a = a - b;
}
template <ClockCount T>
constexpr T operator*(T a, uint64_t k)
{
    return T(count_of(a) * k);
}
template <ClockCount T>
constexpr T operator*(uint64_t k, T a)
{
    return T(k * count_of(a));
}
template <ClockCount T>
constexpr T operator/(T a, uint64_t k)
{
    return T(count_of(a) / k);
}
// How many whole b fit in a.
template <ClockCount T>
constexpr uint64_t operator/(T a, T b)
{
    return count_of(a) / count_of(b);
}
template <ClockCount T>
constexpr T operator%(T a, T b)
{
    return T(count_of(a) % count_of(b));
}

constexpr Picos cycles_to_picos(Cycles n, Picos period)
{
    return count_of(n) * period;
}
constexpr Picos ticks_to_picos(Ticks n, Picos period)
{
    return count_of(n) * period;
}
// Whole ticks of `period` in `t` (the partial one dropped).
constexpr Ticks picos_to_ticks(Picos t, Picos period)
{
    return Ticks(t / period);
}

}  // namespace sim
