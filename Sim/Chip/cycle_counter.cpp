#include "cycle_counter.h"

namespace sim {

CycleCounter::CycleCounter(ChipContext& chip, const CoreClock& clock, const soc::Block& block)
    : Peripheral(block), chip_(chip), clock_(clock)
{}

void CycleCounter::reset()
{
    ctrl_ = 0x40000000U;
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

uint32_t CycleCounter::read(uint32_t offset, unsigned)
{
    switch (offset) {
        case 0x0:
            return ctrl_;
        case 0x4:
            return cyccnt();
        default:
            chip_.log().line("DWT: read of unmodelled offset " + std::to_string(offset));
            return 0;
    }
}

void CycleCounter::write(uint32_t offset, uint32_t value, unsigned)
{
    switch (offset) {
        case 0x0:
            freeze();
            ctrl_ = (ctrl_ & 0xF0000000U) | (value & 0x0FFFFFFFU);
            update_counting();
            return;
        case 0x4:
            start_from(value);
            return;
        default:
            chip_.log().line("DWT: write to unmodelled offset " + std::to_string(offset));
            return;
    }
}

CoreDebugBlock::CoreDebugBlock(const soc::Block& block, CycleCounter& counter, Log& log)
    : Peripheral(block), counter_(counter), log_(log)
{}

uint32_t CoreDebugBlock::read(uint32_t offset, unsigned)
{
    if (offset == 0xC) return demcr_;
    if (offset == 0x0) return 0;  // DHCSR: no debugger attached
    log_.line("CoreDebug: read of unmodelled offset " + std::to_string(offset));
    return 0;
}

void CoreDebugBlock::write(uint32_t offset, uint32_t value, unsigned)
{
    if (offset == 0xC) {
        demcr_ = value & 0x010F07F1U;
        counter_.set_trace_enabled((demcr_ & (1U << 24)) != 0);
        return;
    }
    log_.line("CoreDebug: write to unmodelled offset " + std::to_string(offset));
}

}  // namespace sim
