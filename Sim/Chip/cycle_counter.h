// The core's cycle counter (DWT CYCCNT at 0xE0001004) and the debug register that powers the trace
// unit holding it (CoreDebug DEMCR, TRCENA bit 24). CYCCNT counts core cycles while both TRCENA and
// CYCCNTENA are set, wraps at 2^32 and can be written at any time.
#pragma once

#include "chip_context.h"
#include "core_clock.h"
#include <span>

#include "peripheral.h"

namespace sim {

class CycleCounter : public Peripheral {
public:
    // `clock` is the core clock the counter counts, read on every poll of it without a call into the chip.
    CycleCounter(ChipContext& chip, const CoreClock& clock, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    // CYCCNT moves as the core's cycle count while it counts.
    Motion motion(uint32_t offset) const override { return regs_.motion(offset); }

    void set_trace_enabled(bool on);
    bool counting() const { return counting_; }
    // Inline: read on every pass of a wait on the counter.
    uint32_t cyccnt() const { return cyccnt_at(clock_.cycles()); }
    // The same given the core's cycle count now, for a caller that holds the core clock itself.
    uint32_t cyccnt_at(Cycles core_cycles_now) const
    {
        // CYCCNT is 32 bits wide: it wraps, and so does the sum, so only the low half of the core's
        // count matters.
        return counting_ ? offset_ + static_cast<uint32_t>(count_of(core_cycles_now)) : base_;
    }
    void reset() override;

private:
    void freeze();                    // takes the count as it stands, before the counting state changes
    void start_from(uint32_t value);  // the count is `value` now
    void update_counting();           // after TRCENA or CYCCNTENA changed
    static std::span<const Register<CycleCounter>> register_table();

    const CoreClock& clock_;
    uint32_t ctrl_ = 0;  // DWT_CTRL, whose CYCCNTENA (bit 0) starts the count
    RegisterMap<CycleCounter> regs_;
    bool trace_enabled_ = false;
    bool counting_ = false;  // TRCENA and CYCCNTENA, kept together for the poll
    uint32_t base_ = 0;      // the count when it was last set or frozen
    uint32_t offset_ = 0;    // base_ less the core's cycles (mod 2^32) at that moment
};

class CoreDebugBlock : public Peripheral {
public:
    CoreDebugBlock(const soc::Block& block, CycleCounter& counter, Log& log);
    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset() override { regs_.reset(); }

private:
    static std::span<const Register<CoreDebugBlock>> register_table();

    CycleCounter& counter_;
    RegisterMap<CoreDebugBlock> regs_;
};

}  // namespace sim
