// The core clock as a count of cycles since reset, read off virtual time. HCLK may change (the clock
// set-up moves from the 16 MHz HSI to the 100 MHz PLL) and the count carries on across the change.
//
// The cycle counter is read on every pass of a wait on it, so the usual read is one 32-bit multiplication
// and no call: the count is kept as an anchor (cycles at a time) that is moved up as time goes on, so that
// the time since the anchor fits 32 bits (a 64-bit division is a library call on the 32-bit host).
#pragma once

#include <cstdint>

#include "sim_time.h"

namespace sim {

class CoreClock {
public:
    // `now` is the chip's virtual time, read on every use.
    CoreClock(const Picos& now, Picos period) : now_(now) { set_period(period); }
    CoreClock(const CoreClock&) = delete;
    CoreClock& operator=(const CoreClock&) = delete;

    Cycles cycles() const { return cycles_at(now_); }
    // The same for `now`, the chip's present time as the caller already holds it.
    Cycles cycles_at(Picos now) const
    {
        const Picos elapsed = now - anchor_time_;
        if (elapsed >= step_time_) [[unlikely]]
            return move_anchor(elapsed);
        return anchor_ + Cycles(whole_periods(static_cast<uint32_t>(elapsed)));
    }
    Picos period() const { return period_; }
    // From now on a cycle lasts `period`; the cycles counted so far were of the old one.
    void change_period(Picos period);

private:
    // `period` is between 2 ps and 2^31 ps, so that a step holds a whole cycle: HCLK above 0.47 Hz, where
    // the chip's slowest is 16 MHz / 512.
    void set_period(Picos period);
    // t / period for t within a step, as a multiplication by the period's rounded-up reciprocal and a
    // shift (a division takes several times as long): with l the bits of the period, m = ceil(2^(31 + l) /
    // period) fits 32 bits, and (t * m) >> (31 + l) is exact while t times m's excess (m * period -
    // 2^(31 + l), below the period) stays below 2^(31 + l): for every t below 2^31, and at the chip's clocks
    // for every t below 2^32 (set_period() works out how far). The shift is taken as the high word of the
    // product, then l - 1 more, both 32-bit.
    uint32_t whole_periods(uint32_t t) const
    {
        const auto high = static_cast<uint32_t>((static_cast<uint64_t>(t) * reciprocal_) >> 32);
        return high >> high_shift_;
    }
    // Moves the anchor up by whole cycles to within one step of now, and returns the count.
    Cycles move_anchor(Picos elapsed) const;
    // The same for a jump of more than one step: returns the time left past the new anchor.
    [[gnu::noinline]] Picos move_anchor_far(Picos elapsed) const;

    const Picos& now_;
    Picos period_ = 0;
    uint32_t reciprocal_ = 0;
    unsigned high_shift_ = 0;  // l - 1
    mutable Picos anchor_time_ = 0;
    mutable Cycles anchor_{0};
    // The anchor moves by whole steps of at most 2^32 ps, so that the time past it stays 32-bit and
    // whole_periods() exact on it (4.29 ms at 100 MHz: a move every fourth tick).
    Cycles step_cycles_{0};
    Picos step_time_ = 0;
};

}  // namespace sim
