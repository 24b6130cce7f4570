#include "bus_bridge.h"

#include <cstring>

#include "hex_text.h"

namespace sim::cpu {

uint64_t BusBridge::on_bus_read(uint32_t address, unsigned size)
{
    try {
        uint32_t value = chip_.read(address, size);
        state_.credit_access_issue();
        state_.watch().bus_read(address, value, chip_.free_running(address));
        return value;
    } catch (const std::exception& error) {
        state_.stop_at(state_.end_of(error));
    }
    return 0;
}

void BusBridge::on_bus_write(uint32_t address, unsigned size, uint32_t value)
{
    state_.watch().bus_write();
    try {
        chip_.write(address, value, size);
        state_.credit_access_issue();
    } catch (const std::exception& error) {
        state_.stop_at(state_.end_of(error));
    }
}

uint32_t BusBridge::memory_read(uint32_t address, unsigned width)
{
    uint32_t value = 0;
    if (const uint8_t* from = memory_.at(address, width))
        std::memcpy(&value, from, width);
    else
        chip_.log().line("DMA read of " + hex_text(address) + ": no memory at this address");
    return value;
}

void BusBridge::memory_write(uint32_t address, uint32_t value, unsigned width)
{
    if (uint8_t* to = memory_.ram_at(address, width))
        std::memcpy(to, &value, width);
    else
        chip_.log().line("DMA write of " + hex_text(value) + " to " + hex_text(address) + ": no RAM at this address");
}

}  // namespace sim::cpu
