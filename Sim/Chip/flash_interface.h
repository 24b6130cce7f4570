// FLASH model (placeholder until the model is written: logs every access).
#pragma once

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class FlashInterface final : public Peripheral {
public:
    explicit FlashInterface(ChipContext& chip) : Peripheral("FLASH", 0x40023C00U, 0x400U), chip_(chip) {}
    uint32_t read(uint32_t offset, unsigned) override
    {
        chip_.log().line("FLASH: read of unmodelled offset " + std::to_string(offset));
        return 0;
    }
    void write(uint32_t offset, uint32_t, unsigned) override
    {
        chip_.log().line("FLASH: write to unmodelled offset " + std::to_string(offset));
    }

private:
    ChipContext& chip_;
};

}  // namespace sim
