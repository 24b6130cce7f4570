// The bus between the engine and the chip models: the core's loads and stores of peripheral and core
// registers go to the chip, charged as the chip charges them and shown to the wait-loop watch, and the
// chip's other bus masters (the DMA) reach the core's RAM.
#pragma once

#include <cstdint>
#include <optional>

#include "chip.h"
#include "core_engine.h"
#include "run_state.h"

namespace sim::cpu {

class BusBridge final : public EngineBus, public ExternalCore {
public:
    BusBridge(Chip& chip, RunState& state, const CoreEngine& engine)
        : chip_(chip), state_(state), engine_(engine), memory_(engine.memory())
    {}

    // EngineBus: the core's accesses.
    uint64_t on_bus_read(uint32_t address, unsigned size) override;
    void on_bus_write(uint32_t address, unsigned size, uint32_t value) override;

    // ExternalCore: what the DMA controller reaches.
    uint32_t memory_read(uint32_t address, unsigned width) override;
    void memory_write(uint32_t address, uint32_t value, unsigned width) override;

private:
    // Moves time on to the instruction of the running block that reaches `address` (found among the
    // block's access sites from the registers as they stand), and returns it (none: time stays).
    std::optional<size_t> reach_instruction(uint32_t address);

    Chip& chip_;
    RunState& state_;
    const CoreEngine& engine_;
    const CoreMemory& memory_;
    uint32_t last_address_ = 0;  // the last access matched to a site
};

}  // namespace sim::cpu
