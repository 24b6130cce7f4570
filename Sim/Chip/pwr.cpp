#include "pwr.h"

namespace sim {

using namespace pwr_reg;

Pwr::Pwr(ChipContext& chip, const soc::Block& block)
    : Peripheral(block), chip_(chip), regs_(*this, *this, register_table(), chip.log())
{}

std::span<const Register<Pwr>> Pwr::register_table()
{
    static constexpr Register<Pwr> kTable[] = {
        // VOS = 10 after reset: scale 2. VOS 00 is reserved on this chip; the write is kept, but it is
        // worth a line.
        {.offset = kCr,
         .name = "CR",
         .reset = kVos.of(2),
         .writable = ~(kCwuf | kCsbf),
         .on_write =
             [](Pwr& p, unsigned, uint32_t value, uint32_t) {
                 if (kVos.get(value) == 0U) p.chip_.log().line("PWR: VOS = 00 is a reserved voltage scale");
             }},
        {.offset = kCsr, .name = "CSR", .reset = kVosrdy, .writable = kEwup | kBre},
    };
    return kTable;
}

}  // namespace sim
