// Power controller: the regulator's voltage scale and the status flags. The node only selects scale 1
// (VOS = 11), which 100 MHz needs; the regulator is modelled as always ready (VOSRDY).
#pragma once

#include <cstdint>
#include <span>

#include "chip_context.h"
#include "peripheral.h"

namespace sim {

namespace pwr_reg {
inline constexpr uint32_t kCr = 0x00, kCsr = 0x04;
inline constexpr Field kVos{14, 2};
inline constexpr uint32_t kCwuf = 1U << 2, kCsbf = 1U << 3;  // write 1 to clear a flag, read 0
inline constexpr uint32_t kVosrdy = 1U << 14;
inline constexpr uint32_t kEwup = 1U << 8, kBre = 1U << 9;
}  // namespace pwr_reg

class Pwr : public Peripheral {
public:
    Pwr(ChipContext& chip, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override { regs_.write(offset, value, width); }
    void reset() override { regs_.reset(); }

    uint32_t cr() const { return regs_.at(pwr_reg::kCr); }
    uint32_t vos() const { return pwr_reg::kVos.get(cr()); }

private:
    static std::span<const Register<Pwr>> register_table();

    ChipContext& chip_;
    RegisterMap<Pwr> regs_;
};

}  // namespace sim
