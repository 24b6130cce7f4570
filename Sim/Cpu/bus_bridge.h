// The bus between the engine and the chip models: the core's loads and stores of peripheral and core
// registers go to the chip, charged as the chip charges them and shown to the wait-loop watch, and the
// chip's other bus masters (the DMA) reach the core's RAM.
#pragma once

#include <cstdint>

#include "chip.h"
#include "core_engine.h"
#include "run_state.h"

namespace sim::cpu {

class BusBridge final : public EngineBus, public ExternalCore {
public:
    BusBridge(Chip& chip, RunState& state, const CoreMemory& memory) : chip_(chip), state_(state), memory_(memory) {}

    // EngineBus: the core's accesses.
    uint64_t on_bus_read(uint32_t address, unsigned size) override;
    void on_bus_write(uint32_t address, unsigned size, uint32_t value) override;

    // ExternalCore: what the DMA controller reaches.
    uint32_t memory_read(uint32_t address, unsigned width) override;
    void memory_write(uint32_t address, uint32_t value, unsigned width) override;

private:
    Chip& chip_;
    RunState& state_;
    const CoreMemory& memory_;
};

}  // namespace sim::cpu
