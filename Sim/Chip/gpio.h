// GPIO port model (placeholder until the model is written).
#pragma once

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class GpioPort final : public Peripheral {
public:
    GpioPort(ChipContext& chip, char letter, uint32_t base)
        : Peripheral(std::string("GPIO") + letter, base, 0x400U), chip_(chip), letter_(letter)
    {
    }
    uint32_t read(uint32_t offset, unsigned) override
    {
        chip_.log().line(name() + ": read of unmodelled offset " + std::to_string(offset));
        return 0;
    }
    void write(uint32_t offset, uint32_t, unsigned) override
    {
        chip_.log().line(name() + ": write to unmodelled offset " + std::to_string(offset));
    }
    char letter() const { return letter_; }

private:
    ChipContext& chip_;
    char letter_;
};

}  // namespace sim
