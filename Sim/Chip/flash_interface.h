// Flash interface registers: the access control register with the wait states (LATENCY) and the ART
// accelerator's prefetch buffer and instruction and data caches, which the accelerator's model
// (flash_accelerator.h) follows for the emulated core's fetches. The key, status, control and option
// registers are stored; programming the flash is not modelled.
#pragma once

#include <cstdint>
#include <span>

#include "chip_context.h"
#include "flash_accelerator.h"
#include "peripheral.h"

namespace sim {

namespace flash_reg {
inline constexpr uint32_t kAcr = 0x00, kKeyr = 0x04, kOptkeyr = 0x08, kSr = 0x0C, kCr = 0x10, kOptcr = 0x14;
inline constexpr Field kLatency{0, 4};
inline constexpr uint32_t kPrften = 1U << 8, kIcen = 1U << 9, kDcen = 1U << 10, kIcrst = 1U << 11;
inline constexpr uint32_t kDcrst = 1U << 12;
}  // namespace flash_reg

class FlashInterface : public Peripheral {
public:
    FlashInterface(ChipContext& chip, const soc::Block& block);
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override { regs_.write(offset, value, width); }
    void reset() override
    {
        regs_.reset();
        accelerator_.reset();
    }

    uint32_t acr() const { return regs_.at(flash_reg::kAcr); }
    uint32_t latency() const { return flash_reg::kLatency.get(acr()); }
    FlashAccelerator& accelerator() { return accelerator_; }

private:
    static std::span<const Register<FlashInterface>> register_table();
    void acr_written(uint32_t value, uint32_t before);

    ChipContext& chip_;
    RegisterMap<FlashInterface> regs_;
    FlashAccelerator accelerator_;
};

}  // namespace sim
