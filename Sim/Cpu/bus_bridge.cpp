#include "bus_bridge.h"

#include <cstring>

#include "hex_text.h"

namespace sim::cpu {

std::optional<size_t> BusBridge::reach_instruction(uint32_t address)
{
    const BlockInfo* block = state_.block();
    if (block == nullptr) return std::nullopt;
    const std::vector<AccessSite>& sites = block->accesses;
    static constexpr int kRegisters[15] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                           UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                           UC_ARM_REG_R8,  UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                           UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR};
    // A multiple or doubleword transfer reports each word: its next word is the same instruction's.
    const size_t last = state_.last_site();
    if (last < sites.size() && sites[last].span > 4 && address - last_address_ - 1 < sites[last].span - 1U) {
        last_address_ = address;
        return last;
    }
    for (size_t s = last < sites.size() ? last + 1 : 0; s < sites.size(); ++s) {
        const AccessSite& site = sites[s];
        // The last candidate needs no check: the access is one of the block's.
        bool match = s + 1 == sites.size();
        if (!match) {
            // The registers as they stand hold the instruction's base and offset (it has not written
            // them yet: the engine makes the access before the write-back).
            const uint32_t base = engine_.reg(kRegisters[site.base]);
            uint32_t index = 0;
            if (site.index != AccessSite::kNoIndex) index = engine_.reg(kRegisters[site.index]) << site.shift;
            const uint32_t effective = base + static_cast<uint32_t>(site.offset) + (site.subtract ? 0U - index : index);
            // A post-indexed access reaches the base itself.
            match = address - effective < site.span || address - base < site.span;
        }
        if (match) {
            state_.at_instruction(s);
            last_address_ = address;
            return s;
        }
    }
    return std::nullopt;
}

uint64_t BusBridge::on_bus_read(uint32_t address, unsigned size)
{
    try {
        const std::optional<size_t> site = reach_instruction(address);
        const Picos started = chip_.now();
        uint32_t value = chip_.read(address, size);
        state_.after_access(started, site);
        state_.watch().bus_read(address, value, chip_.free_running(address), started);
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
        const std::optional<size_t> site = reach_instruction(address);
        const Picos started = chip_.now();
        chip_.write(address, value, size);
        state_.after_access(started, site);
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
