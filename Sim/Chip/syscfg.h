// System configuration controller (0x40013800): memory remap, the EXTI line to port mapping and the
// compensation cell. The node only switches its clock on; the registers are stored as written.
#pragma once

#include <array>
#include <cstdint>

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

class Syscfg final : public Peripheral {
public:
    explicit Syscfg(ChipContext& chip);
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    void reset();

    // EXTICR1..4 (index 0..3): four bits per EXTI line choose its port.
    uint32_t exticr(int index) const { return exticr_[static_cast<size_t>(index)]; }

private:
    ChipContext& chip_;
    uint32_t memrmp_ = 0;
    uint32_t pmc_ = 0;
    std::array<uint32_t, 4> exticr_{};
    uint32_t cmpcr_ = 0;
};

}  // namespace sim
