// The bus between the engine and the chip models: the core's loads and stores of peripheral and core
// registers, charged as the chip charges them, and the DMA's reach into the core's RAM.
#include <unicorn/unicorn.h>

#include <cstring>

#include "cost_model.h"
#include "hex_text.h"
#include "image_runner.h"

namespace sim::cpu {

// The chip charged the access its whole bus cost, which includes the issue cycle that the block's
// instruction count already holds: give that cycle back. (It is owed, not yet charged: the block's
// instructions, this one among them, were added to `owed_` at the block's start.)
void ImageRunner::credit_access_issue()
{
    const Picos issue = cycles_to_picos(cost::kAccessIssue, cycle_period());
    owed_ = owed_ > issue ? owed_ - issue : 0;
}

uint64_t ImageRunner::on_bus_read(uint32_t address, unsigned size)
{
    if (probe_) {
        if (address == kCycleCounterAddress) return probe_->counter;
        probe_->spoiled = true;
        uc_emu_stop(uc_);
        return 0;
    }
    try {
        uint32_t value = chip_.read(address, size);
        credit_access_issue();
        watch_.bus_read(address, value, chip_.free_running(address));
        return value;
    } catch (const std::exception& error) {
        stop_at(end_of(error));
    }
    return 0;
}

void ImageRunner::on_bus_write(uint32_t address, unsigned size, uint32_t value)
{
    if (probe_) {
        probe_->spoiled = true;
        uc_emu_stop(uc_);
        return;
    }
    watch_.bus_write();
    try {
        chip_.write(address, value, size);
        credit_access_issue();
    } catch (const std::exception& error) {
        stop_at(end_of(error));
    }
}

uint32_t ImageRunner::memory_read(uint32_t address, unsigned width)
{
    uint32_t value = 0;
    if (const uint8_t* from = host_pointer(address, width))
        std::memcpy(&value, from, width);
    else
        chip_.log().line("DMA read of " + hex_text(address) + ": no memory at this address");
    return value;
}

void ImageRunner::memory_write(uint32_t address, uint32_t value, unsigned width)
{
    if (in_range(address, kRamBase, kRamSize) && width <= kRamBase + kRamSize - address)
        std::memcpy(ram_.data() + (address - kRamBase), &value, width);
    else
        chip_.log().line("DMA write of " + hex_text(value) + " to " + hex_text(address) + ": no RAM at this address");
}

}  // namespace sim::cpu
