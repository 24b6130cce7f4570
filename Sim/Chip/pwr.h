// PWR model (placeholder until the model is written: logs every access).
#pragma once

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class Pwr final : public Peripheral {
public:
    explicit Pwr(ChipContext& chip) : Peripheral("PWR", 0x40007000U, 0x400U), chip_(chip) {}
    uint32_t read(uint32_t offset, unsigned) override
    {
        chip_.log().line("PWR: read of unmodelled offset " + std::to_string(offset));
        return 0;
    }
    void write(uint32_t offset, uint32_t, unsigned) override
    {
        chip_.log().line("PWR: write to unmodelled offset " + std::to_string(offset));
    }

private:
    ChipContext& chip_;
};

}  // namespace sim
