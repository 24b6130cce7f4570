#include "syscfg.h"

namespace sim {

using namespace syscfg_reg;

Syscfg::Syscfg(ChipContext& chip, const soc::Block& block)
    : Peripheral(block), regs_(*this, *this, register_table(), chip.log())
{}

std::span<const Register<Syscfg>> Syscfg::register_table()
{
    static constexpr Register<Syscfg> kTable[] = {
        {.offset = kMemrmp, .name = "MEMRMP", .writable = 3U},  // reset 0: booted from main flash
        {.offset = kPmc, .name = "PMC"},
        {.offset = kExticr1, .name = "EXTICR", .writable = 0xFFFFU, .count = 4},
        // The cell is ready as soon as it is powered: READY follows PD.
        {.offset = kCmpcr,
         .name = "CMPCR",
         .writable = ~kCmpcrReady,
         .on_write =
             [](Syscfg& s, unsigned, uint32_t value, uint32_t) {
                 uint32_t& cmpcr = s.regs_.at(kCmpcr);
                 cmpcr = (cmpcr & ~kCmpcrReady) | ((value & kCmpcrPd) ? kCmpcrReady : 0U);
             }},
    };
    return kTable;
}

}  // namespace sim
