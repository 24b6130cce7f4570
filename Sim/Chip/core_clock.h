// The core clock as a count of cycles since reset, read off virtual time. HCLK may change (the clock
// set-up moves from the 16 MHz HSI to the 100 MHz PLL) and the count carries on across the change.
//
// The cycle counter is read on every pass of a wait on it, so the usual read is one 32-bit division and
// no call: the count is kept as an anchor (cycles at a time) that is moved up as time goes on, so that the
// time since the anchor fits 32 bits (a 64-bit division is a library call on the 32-bit host).
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

    Cycles cycles() const
    {
        const Picos elapsed = now_ - anchor_time_;
        if (elapsed >= step_time_) [[unlikely]]
            return move_anchor(elapsed);
        return anchor_ + Cycles(static_cast<uint32_t>(elapsed) / static_cast<uint32_t>(period_));
    }
    Picos period() const { return period_; }
    // From now on a cycle lasts `period`; the cycles counted so far were of the old one.
    void change_period(Picos period);

private:
    void set_period(Picos period);
    // Moves the anchor up by whole cycles to within one step of now, and returns the count.
    Cycles move_anchor(Picos elapsed) const;

    const Picos& now_;
    Picos period_ = 0;
    mutable Picos anchor_time_ = 0;
    mutable Cycles anchor_{0};
    // The anchor moves by whole steps of at most 2^31 ps, so that the time past it stays 32-bit.
    Cycles step_cycles_{0};
    Picos step_time_ = 0;
};

}  // namespace sim
