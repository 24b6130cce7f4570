#include "core_clock.h"

namespace sim {

void CoreClock::set_period(Picos period)
{
    period_ = period;
    step_cycles_ = Cycles((1ULL << 31) / period);
    step_time_ = cycles_to_picos(step_cycles_, period);
    unsigned bits = 0;  // the least l with period <= 2^l
    while ((Picos{1} << bits) < period) ++bits;
    reciprocal_shift_ = 31 + bits;
    reciprocal_ = static_cast<uint32_t>(((Picos{1} << reciprocal_shift_) + period - 1) / period);
}

void CoreClock::change_period(Picos period)
{
    anchor_ = cycles();
    anchor_time_ = now_;
    set_period(period);
}

Cycles CoreClock::move_anchor(Picos elapsed) const
{
    // One step at a time for the usual short advance, one 64-bit division for a long jump.
    if (elapsed < 8 * step_time_) {
        do {
            anchor_ += step_cycles_;
            anchor_time_ += step_time_;
            elapsed -= step_time_;
        } while (elapsed >= step_time_);
    } else {
        const auto whole = Cycles(elapsed / period_);
        anchor_ += whole;
        anchor_time_ += cycles_to_picos(whole, period_);
        elapsed -= cycles_to_picos(whole, period_);
    }
    return anchor_ + Cycles(whole_periods(static_cast<uint32_t>(elapsed)));
}

}  // namespace sim
