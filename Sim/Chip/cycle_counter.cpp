#include "cycle_counter.h"

namespace sim {

CycleCounter::CycleCounter(ChipContext& chip, const CoreClock& clock, const soc::Block& block)
    : Peripheral(block), clock_(clock), regs_(*this, *this, register_table(), chip.log())
{}

void CycleCounter::reset()
{
    regs_.reset();
    trace_enabled_ = counting_ = false;
    base_ = offset_ = 0;
}

void CycleCounter::start_from(uint32_t value)
{
    base_ = value;
    offset_ = value - static_cast<uint32_t>(count_of(clock_.cycles()));
}

void CycleCounter::update_counting()
{
    counting_ = trace_enabled_ && (ctrl_ & 1U);
}

void CycleCounter::freeze()
{
    start_from(cyccnt());
}

void CycleCounter::set_trace_enabled(bool on)
{
    freeze();
    trace_enabled_ = on;
    update_counting();
}

std::span<const Register<CycleCounter>> CycleCounter::register_table()
{
    using T = CycleCounter;
    static constexpr Register<T> kTable[] = {
        // NUMCOMP (bits 31:28) = 4 comparators, read-only. The count is taken as it stands before
        // CYCCNTENA changes.
        {.offset = 0x0,
         .name = "CTRL",
         .reset = 0x40000000U,
         .writable = 0x0FFFFFFFU,
         .on_write =
             [](T& t, unsigned, uint32_t, uint32_t) {
                 t.freeze();
                 t.update_counting();
             },
         .storage = &T::ctrl_},
        // CYCCNT, read whole whatever the width; a write sets the count.
        {.offset = 0x4,
         .name = "CYCCNT",
         .writable = 0,
         .on_read = [](T& t, unsigned) { return t.cyccnt(); },
         .on_write = [](T& t, unsigned, uint32_t value, uint32_t) { t.start_from(value); },
         .motion = [](const T& t) { return t.counting() ? Motion::CoreCycles : Motion::AtEvents; }},
    };
    return kTable;
}

uint32_t CycleCounter::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void CycleCounter::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
}

CoreDebugBlock::CoreDebugBlock(const soc::Block& block, CycleCounter& counter, Log& log)
    : Peripheral(block), counter_(counter), regs_(*this, *this, register_table(), log)
{}

std::span<const Register<CoreDebugBlock>> CoreDebugBlock::register_table()
{
    using T = CoreDebugBlock;
    static constexpr Register<T> kTable[] = {
        // DHCSR: no debugger attached.
        {.offset = 0x0, .name = "DHCSR", .writable = 0},
        // DEMCR: TRCENA (bit 24) powers the trace unit that holds the cycle counter.
        {.offset = 0xC,
         .name = "DEMCR",
         .writable = 0x010F07F1U,
         .on_write = [](T& t, unsigned, uint32_t,
                        uint32_t) { t.counter_.set_trace_enabled((t.regs_.at(0xC) & (1U << 24)) != 0); }},
    };
    return kTable;
}

uint32_t CoreDebugBlock::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void CoreDebugBlock::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
}

}  // namespace sim
