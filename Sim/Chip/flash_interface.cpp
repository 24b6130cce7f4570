#include "flash_interface.h"

namespace sim {

using namespace flash_reg;

namespace {
constexpr uint32_t kCrReset = 0x80000000U;     // LOCK: the control register is locked after reset
constexpr uint32_t kOptcrReset = 0x0FFFAAEDU;  // no write protection, read protection level 0
}  // namespace

FlashInterface::FlashInterface(ChipContext& chip, const soc::Block& block)
    : Peripheral(block), chip_(chip), regs_(*this, *this, register_table(), chip.log())
{}

std::span<const Register<FlashInterface>> FlashInterface::register_table()
{
    using F = FlashInterface;
    static constexpr Register<F> kTable[] = {
        {.offset = kAcr,
         .name = "ACR",
         .writable = kLatency.mask() | kPrften | kIcen | kDcen | kIcrst | kDcrst,
         .on_write = [](F& f, unsigned, uint32_t value, uint32_t before) { f.acr_written(value, before); }},
        // The unlock keys: write-only, and the locks are not modelled.
        {.offset = kKeyr, .name = "KEYR", .writable = 0},
        {.offset = kOptkeyr, .name = "OPTKEYR", .writable = 0},
        {.offset = kSr, .name = "SR", .writable = 0, .clear_on_1 = 0xFFFFFFFFU},  // flags clear when written with 1
        {.offset = kCr, .name = "CR", .reset = kCrReset},
        {.offset = kOptcr, .name = "OPTCR", .reset = kOptcrReset},
    };
    return kTable;
}

// A cache can be reset only while it is disabled; with it enabled the reset bit does nothing.
void FlashInterface::acr_written(uint32_t value, uint32_t before)
{
    if (value & kIcrst) {
        if (before & kIcen)
            chip_.log().line("FLASH: ICRST while the instruction cache is on");
        else
            accelerator_.flush_instructions();
    }
    if (value & kDcrst) {
        if (before & kDcen)
            chip_.log().line("FLASH: DCRST while the data cache is on");
        else
            accelerator_.flush_data();
    }
    // The register as it now stands (a byte write changes only its own lane).
    const uint32_t now = acr();
    accelerator_.configure(FlashAccelerator::Settings{.latency = kLatency.get(now),
                                                      .prefetch = (now & kPrften) != 0,
                                                      .instruction_cache = (now & kIcen) != 0,
                                                      .data_cache = (now & kDcen) != 0});
}

}  // namespace sim
