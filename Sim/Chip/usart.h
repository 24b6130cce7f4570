// USART model (placeholder until the model is written).
#pragma once

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class Usart final : public Peripheral {
public:
    Usart(ChipContext& chip, std::string name, uint32_t base, int irq, bool on_apb2)
        : Peripheral(std::move(name), base, 0x400U), chip_(chip), irq_(irq), on_apb2_(on_apb2)
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

private:
    ChipContext& chip_;
    int irq_;
    bool on_apb2_;
};

}  // namespace sim
