#include "syscfg.h"

#include "hex_text.h"

namespace sim {

namespace {
constexpr uint32_t kCmpcrReady = 1U << 8;  // compensation cell ready: read-only
}  // namespace

Syscfg::Syscfg(ChipContext& chip) : Peripheral("SYSCFG", 0x40013800U, 0x400U), chip_(chip)
{
    reset();
}

void Syscfg::reset()
{
    memrmp_ = 0;  // booted from main flash
    pmc_ = 0;
    exticr_.fill(0);
    cmpcr_ = 0;
}

uint32_t Syscfg::read(uint32_t offset, unsigned)
{
    switch (offset) {
        case 0x00:
            return memrmp_;
        case 0x04:
            return pmc_;
        case 0x08:
        case 0x0C:
        case 0x10:
        case 0x14:
            return exticr_[(offset - 0x08) / 4];
        case 0x20:
            return cmpcr_;
        default:
            chip_.log().line("SYSCFG: read of unmodelled offset " + hex_text(offset));
            return 0;
    }
}

void Syscfg::write(uint32_t offset, uint32_t value, unsigned)
{
    switch (offset) {
        case 0x00:
            memrmp_ = value & 3U;
            return;
        case 0x04:
            pmc_ = value;
            return;
        case 0x08:
        case 0x0C:
        case 0x10:
        case 0x14:
            exticr_[(offset - 0x08) / 4] = value & 0xFFFFU;
            return;
        case 0x20:
            cmpcr_ = (value & ~kCmpcrReady) | (value & 1U ? kCmpcrReady : 0U);
            return;
        default:
            chip_.log().line("SYSCFG: write of " + hex_text(value) + " to unmodelled offset " + hex_text(offset));
            return;
    }
}

}  // namespace sim
