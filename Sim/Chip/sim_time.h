// Virtual time of the simulated node. Time is kept in picoseconds so that every clock of the chip
// (16 MHz HSI: 62 500 ps a cycle, 25 MHz crystal: 40 000 ps, 100 MHz core: 10 000 ps, 50 MHz APB1:
// 20 000 ps) has a whole period; 2^64 ps is 213 days, far beyond any run.
#pragma once

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

}  // namespace sim
