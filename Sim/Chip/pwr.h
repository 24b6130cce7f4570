// Power controller (0x40007000): the regulator's voltage scale and the status flags. The node only
// selects scale 1 (VOS = 11), which 100 MHz needs; the regulator is modelled as always ready (VOSRDY).
#pragma once

#include <cstdint>

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class Pwr final : public Peripheral {
public:
    Pwr(ChipContext& chip, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset();

    uint32_t cr() const { return cr_; }
    uint32_t vos() const { return (cr_ >> 14) & 3U; }

private:
    ChipContext& chip_;
    uint32_t cr_ = 0;
    uint32_t csr_ = 0;
};

}  // namespace sim
