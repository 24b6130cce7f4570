// System configuration controller: memory remap, the EXTI line to port mapping and the compensation
// cell. The node only switches its clock on; the registers are stored as written.
#pragma once

#include <cstdint>
#include <span>

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

namespace syscfg_reg {
inline constexpr uint32_t kMemrmp = 0x00, kPmc = 0x04, kExticr1 = 0x08, kCmpcr = 0x20;
inline constexpr uint32_t kCmpcrPd = 1U << 0;     // compensation cell powered
inline constexpr uint32_t kCmpcrReady = 1U << 8;  // compensation cell ready: read-only
}  // namespace syscfg_reg

class Syscfg : public Peripheral {
public:
    Syscfg(ChipContext& chip, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override { regs_.write(offset, value, width); }
    void reset() override { regs_.reset(); }

    // EXTICR1..4 (index 0..3): four bits per EXTI line choose its port.
    uint32_t exticr(int index) const { return regs_.at(syscfg_reg::kExticr1, static_cast<unsigned>(index)); }

private:
    static std::span<const Register<Syscfg>> register_table();

    RegisterMap<Syscfg> regs_;
};

}  // namespace sim
