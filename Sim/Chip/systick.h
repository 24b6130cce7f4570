// SysTick, the core's 24-bit down-counter: counts core cycles (CLKSOURCE 1) or HCLK/8, reloads from
// LOAD, and on each 1 -> 0 step sets COUNTFLAG and, with TICKINT, pends the SysTick exception.
// A period is LOAD + 1 clocks: LOAD 99999 at 100 MHz gives the 1 ms tick.
#pragma once

#include <span>

#include "chip_context.h"
#include "peripheral.h"
#include "timer.h"

namespace sim {

class SysTickTimer : public Peripheral {
public:
    SysTickTimer(ChipContext& chip, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    Motion motion(uint32_t offset) const override { return regs_.motion(offset); }

    bool enabled() const { return ctrl_ & 1U; }
    bool interrupt_enabled() const { return (ctrl_ & 3U) == 3U; }
    uint32_t reload() const { return load_; }
    void reset() override;
    // The counter's 1 -> 0 step, due at `at`: the action of the wrap's event, which the chip's tick path
    // also calls directly (the scheduler's direct slot is this timer's). The 1 kHz tick comes here 86.4
    // million times a simulated day: the next wrap is one period on, with no re-derivation from the
    // cycle count.
    void wrap(Picos at)
    {
        ctrl_ |= kCountFlag;
        if (ctrl_ & 2U) exceptions_.set_pending(kSysTickException);
        next_wrap_ += period_ticks();
        wrap_timer_.arm_at(at + wrap_period_);
    }

private:
    static constexpr uint32_t kCountFlag = 1U << 16;  // CTRL's COUNTFLAG: a wrap since CTRL was last read

    // What halt detection may count on: the exception is raised while the timer runs with TICKINT.
    void interrupt_enable_changed() { exceptions_.set_raisable(kSysTickException, interrupt_enabled()); }

    Ticks clocks_now() const;  // SysTick input clocks since reset
    void restart();            // counter cleared now: the next wrap comes LOAD + 1 clocks later
    Ticks period_ticks() const { return Ticks(static_cast<uint64_t>(load_) + 1U); }
    void schedule_wrap();

    // Register hooks.
    void control_written(uint32_t before);
    uint32_t current_value() const;
    static std::span<const Register<SysTickTimer>> register_table();

    ChipContext& chip_;
    Exceptions& exceptions_;  // the wrap pends SysTick here without a call into the chip
    // CTRL (with COUNTFLAG) and LOAD, kept as members that the table names: the wrap, a thousand times a
    // simulated second, reads them without the map's indirection.
    uint32_t ctrl_ = 0;
    uint32_t load_ = 0;
    RegisterMap<SysTickTimer> regs_;
    Ticks cleared_at_{0};    // input clock count when the counter was last cleared
    Ticks next_wrap_{0};     // input clock count of the next 1 -> 0 step
    Picos wrap_period_ = 0;  // LOAD + 1 input clocks, in picoseconds, for the periodic case
    // The wrap is the busiest event of all (a thousand times a simulated second): the direct slot.
    DirectTimer wrap_timer_;
};

}  // namespace sim
