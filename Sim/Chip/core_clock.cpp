#include "core_clock.h"

#include <stdexcept>

namespace sim {

void CoreClock::set_period(Picos period)
{
    if (period < 2 || period > (Picos{1} << 31)) throw std::invalid_argument("core clock period out of range");
    period_ = period;
    unsigned bits = 0;  // the least l with period <= 2^l
    while ((Picos{1} << bits) < period) ++bits;
    const unsigned shift = 31 + bits;
    reciprocal_ = static_cast<uint32_t>(((Picos{1} << shift) + period - 1) / period);
    high_shift_ = shift - 32;
    // The longest time whole_periods() divides exactly: t * excess < 2^shift, and 32 bits.
    const Picos excess = Picos{reciprocal_} * period - (Picos{1} << shift);
    Picos exact = (Picos{1} << 32) - 1;
    if (excess != 0 && ((Picos{1} << shift) - 1) / excess < exact) exact = ((Picos{1} << shift) - 1) / excess;
    step_cycles_ = Cycles((exact + 1) / period);
    step_time_ = cycles_to_picos(step_cycles_, period);
}

void CoreClock::change_period(Picos period)
{
    anchor_ = cycles();
    anchor_time_ = now_;
    set_period(period);
}

Cycles CoreClock::move_anchor(Picos elapsed) const
{
    // One step for the usual advance (time moves on a millisecond a tick, a step is a few of them), one
    // 64-bit division for a longer jump.
    if (elapsed < 2 * step_time_) [[likely]] {
        anchor_ += step_cycles_;
        anchor_time_ += step_time_;
        elapsed -= step_time_;
    } else {
        elapsed = move_anchor_far(elapsed);
    }
    return anchor_ + Cycles(whole_periods(static_cast<uint32_t>(elapsed)));
}

Picos CoreClock::move_anchor_far(Picos elapsed) const
{
    const auto whole = Cycles(elapsed / period_);
    anchor_ += whole;
    anchor_time_ += cycles_to_picos(whole, period_);
    return elapsed - cycles_to_picos(whole, period_);
}

}  // namespace sim
