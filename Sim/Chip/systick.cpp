#include "systick.h"

namespace sim {

SysTickTimer::SysTickTimer(ChipContext& chip, const soc::Block& block)
    : Peripheral(block),
      chip_(chip),
      exceptions_(chip.exceptions()),
      regs_(*this, *this, register_table(), chip.log()),
      wrap_timer_(
          chip.scheduler(), [](void* self, Picos at) { static_cast<SysTickTimer*>(self)->wrap(at); }, this)
{
    // A change of HCLK changes the time between two wraps; the count itself carries on.
    chip_.clocks().on_change([this](const Clocks&, const Clocks&) {
        if (enabled()) schedule_wrap();
    });
}

void SysTickTimer::reset()
{
    wrap_timer_.cancel();
    regs_.reset();
    interrupt_enable_changed();
}

Ticks SysTickTimer::clocks_now() const
{
    // The counter's input: the core clock itself (CLKSOURCE 1), or HCLK / 8.
    const uint64_t cycles = count_of(chip_.core_cycles());
    return Ticks((ctrl_ & 4U) ? cycles : cycles / 8U);
}

void SysTickTimer::restart()
{
    cleared_at_ = clocks_now();
    next_wrap_ = cleared_at_ + period_ticks();
    schedule_wrap();
}

void SysTickTimer::schedule_wrap()
{
    if (!enabled() || load_ == 0) {
        wrap_timer_.cancel();
        return;
    }
    const Ticks now_clocks = clocks_now();
    const Ticks ahead = next_wrap_ > now_clocks ? next_wrap_ - now_clocks : Ticks(0);
    const uint32_t hz = (ctrl_ & 4U) ? chip_.clocks().now().hclk : chip_.clocks().now().hclk / 8U;
    wrap_period_ = ticks_to_picos(period_ticks(), period_of(hz));
    wrap_timer_.arm_at(chip_.now() + ticks_to_picos(ahead, period_of(hz)));
}

std::span<const Register<SysTickTimer>> SysTickTimer::register_table()
{
    using T = SysTickTimer;
    static constexpr Register<T> kTable[] = {
        // CTRL: ENABLE, TICKINT, CLKSOURCE; COUNTFLAG (bit 16) is set by the wrap and cleared by a read.
        {.offset = 0x0,
         .name = "CTRL",
         .writable = 7U,
         .on_write = [](T& t, unsigned, uint32_t, uint32_t before) { t.control_written(before); },
         .storage = &T::ctrl_,
         .clear_on_read = kCountFlag},
        // A new LOAD applies from the next reload on.
        {.offset = 0x4,
         .name = "LOAD",
         .writable = 0xFFFFFFU,
         .on_write =
             [](T& t, unsigned, uint32_t, uint32_t) {
                 if (t.enabled()) t.schedule_wrap();
             },
         .storage = &T::load_},
        // Any write clears the counter and COUNTFLAG. The count moves with time while the timer runs.
        {.offset = 0x8,
         .name = "VAL",
         .writable = 0,
         .on_read = [](T& t, unsigned) { return t.current_value(); },
         .on_write =
             [](T& t, unsigned, uint32_t, uint32_t) {
                 t.ctrl_ &= ~kCountFlag;
                 if (t.enabled()) t.restart();
             },
         .motion = [](const T& t) { return t.enabled() ? Motion::Counts : Motion::AtEvents; }},
        // No exact 10 ms reference: HCLK/8 at 100 MHz is 12500 clocks.
        {.offset = 0xC, .name = "CALIB", .reset = 0x40000000U | 12499U, .writable = 0},
    };
    return kTable;
}

uint32_t SysTickTimer::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void SysTickTimer::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
}

void SysTickTimer::control_written(uint32_t before)
{
    const bool was_enabled = (before & 1U) != 0;
    if (enabled() && !was_enabled)
        restart();
    else if (!enabled())
        wrap_timer_.cancel();
    interrupt_enable_changed();
}

uint32_t SysTickTimer::current_value() const
{
    if (!enabled()) return 0;
    const uint64_t elapsed = count_of(clocks_now() - cleared_at_);
    if (elapsed == 0) return 0;
    return load_ - static_cast<uint32_t>((elapsed - 1U) % (static_cast<uint64_t>(load_) + 1U));
}

}  // namespace sim
