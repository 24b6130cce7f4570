// Flash interface registers (0x40023C00): the access control register with the wait states (LATENCY)
// and the ART accelerator's prefetch buffer and instruction and data caches. The key, status, control
// and option registers are stored; programming the flash is not modelled.
#pragma once

#include <cstdint>

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class FlashInterface final : public Peripheral {
public:
    explicit FlashInterface(ChipContext& chip);
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset();

    uint32_t acr() const { return acr_; }
    uint32_t latency() const { return acr_ & 0xFU; }

private:
    ChipContext& chip_;
    uint32_t acr_ = 0;
    uint32_t sr_ = 0;
    uint32_t cr_ = 0;
    uint32_t optcr_ = 0;
};

}  // namespace sim
