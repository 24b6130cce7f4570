#include "pwr.h"

#include "hex_text.h"

namespace sim {

namespace {
constexpr uint32_t kCrReset = 0x8000U;                    // VOS = 10: scale 2 after reset
constexpr uint32_t kCrClearBits = (1U << 2) | (1U << 3);  // CWUF, CSBF: write 1 to clear a flag, read 0
constexpr uint32_t kCsrVosRdy = 1U << 14;
constexpr uint32_t kCsrWritable = (1U << 8) | (1U << 9);  // EWUP, BRE
}  // namespace

Pwr::Pwr(ChipContext& chip, const soc::Block& block) : Peripheral(block), chip_(chip)
{
    reset();
}

void Pwr::reset()
{
    cr_ = kCrReset;
    csr_ = kCsrVosRdy;
}

uint32_t Pwr::read(uint32_t offset, unsigned)
{
    switch (offset) {
        case 0x00:
            return cr_;
        case 0x04:
            return csr_;
        default:
            chip_.log().line("PWR: read of unmodelled offset " + hex_text(offset));
            return 0;
    }
}

void Pwr::write(uint32_t offset, uint32_t value, unsigned)
{
    switch (offset) {
        case 0x00:
            // VOS 00 is reserved on this chip; the write is kept, but it is worth a line.
            if (((value >> 14) & 3U) == 0U) chip_.log().line("PWR: VOS = 00 is a reserved voltage scale");
            cr_ = value & ~kCrClearBits;
            return;
        case 0x04:
            csr_ = (csr_ & ~kCsrWritable) | (value & kCsrWritable);
            return;
        default:
            chip_.log().line("PWR: write of " + hex_text(value) + " to unmodelled offset " + hex_text(offset));
            return;
    }
}

}  // namespace sim
