// RCC model (placeholder until the model is written: logs every access).
#pragma once

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class Rcc final : public Peripheral {
public:
    Rcc(ChipContext& chip, bool crystal_present)
        : Peripheral("RCC", 0x40023800U, 0x400U), chip_(chip), crystal_present_(crystal_present)
    {
    }
    uint32_t read(uint32_t offset, unsigned) override
    {
        chip_.log().line("RCC: read of unmodelled offset " + std::to_string(offset));
        return 0;
    }
    void write(uint32_t offset, uint32_t, unsigned) override
    {
        chip_.log().line("RCC: write to unmodelled offset " + std::to_string(offset));
    }

private:
    ChipContext& chip_;
    bool crystal_present_;
};

}  // namespace sim
