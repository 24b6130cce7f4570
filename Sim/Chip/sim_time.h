// Virtual time of the simulated node. Time is kept in picoseconds so that every clock of the chip
// (16 MHz HSI: 62 500 ps a cycle, 25 MHz crystal: 40 000 ps, 100 MHz core: 10 000 ps, 50 MHz APB1:
// 20 000 ps) has a whole period; 2^64 ps is 213 days, far beyond any run.
#pragma once

#include <compare>
#include <cstdint>

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
// takes the clock's period, through a conversion that names it. The wrapper is a plain integer to the
// compiler (trivially copyable, every operation constexpr and inline), so the arithmetic on the 1 kHz
// tick's path compiles to what it did on bare integers.
template <typename Clock>
class Count {
public:
    constexpr Count() = default;
    constexpr explicit Count(uint64_t n) : n_(n) {}
    constexpr uint64_t count() const { return n_; }

    friend constexpr Count operator+(Count a, Count b) { return Count(a.n_ + b.n_); }
    friend constexpr Count operator-(Count a, Count b) { return Count(a.n_ - b.n_); }
    constexpr Count& operator+=(Count b)
    {
        n_ += b.n_;
        return *this;
    }
    constexpr Count& operator-=(Count b)
    {
        n_ -= b.n_;
        return *this;
    }
    friend constexpr Count operator*(Count a, uint64_t k) { return Count(a.n_ * k); }
    friend constexpr Count operator*(uint64_t k, Count a) { return Count(k * a.n_); }
    friend constexpr Count operator/(Count a, uint64_t k) { return Count(a.n_ / k); }
    friend constexpr uint64_t operator/(Count a, Count b) { return a.n_ / b.n_; }  // how many b fit in a
    friend constexpr Count operator%(Count a, Count b) { return Count(a.n_ % b.n_); }
    friend constexpr bool operator==(Count a, Count b) = default;
    friend constexpr auto operator<=>(Count a, Count b) = default;

private:
    uint64_t n_ = 0;
};

// Cycles of the core clock (HCLK, whatever its frequency at each moment).
using Cycles = Count<struct CoreClock>;
// Ticks of a timer's counter: TIM2's prescaled clock, SysTick's core clock or HCLK / 8.
using Ticks = Count<struct TimerClock>;

constexpr Picos cycles_to_picos(Cycles n, Picos period)
{
    return n.count() * period;
}
constexpr Picos ticks_to_picos(Ticks n, Picos period)
{
    return n.count() * period;
}
// Whole ticks of `period` in `t` (the partial one dropped).
constexpr Ticks picos_to_ticks(Picos t, Picos period)
{
    return Ticks(t / period);
}

}  // namespace sim
