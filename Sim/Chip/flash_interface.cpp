#include "flash_interface.h"

#include "hex_text.h"

namespace sim {

namespace {
constexpr uint32_t kAcrLatency = 0xFU;
constexpr uint32_t kAcrIcEn = 1U << 9;
constexpr uint32_t kAcrDcEn = 1U << 10;
constexpr uint32_t kAcrIcRst = 1U << 11;
constexpr uint32_t kAcrDcRst = 1U << 12;
constexpr uint32_t kAcrWritable = kAcrLatency | (1U << 8) | kAcrIcEn | kAcrDcEn | kAcrIcRst | kAcrDcRst;
constexpr uint32_t kCrReset = 0x80000000U;     // LOCK: the control register is locked after reset
constexpr uint32_t kOptcrReset = 0x0FFFAAEDU;  // no write protection, read protection level 0
}  // namespace

FlashInterface::FlashInterface(ChipContext& chip) : Peripheral("FLASH", 0x40023C00U, 0x400U), chip_(chip)
{
    reset();
}

void FlashInterface::reset()
{
    acr_ = 0;
    sr_ = 0;
    cr_ = kCrReset;
    optcr_ = kOptcrReset;
}

uint32_t FlashInterface::read(uint32_t offset, unsigned)
{
    switch (offset) {
        case 0x00:
            return acr_;
        case 0x04:  // KEYR and OPTKEYR are write-only
        case 0x08:
            return 0;
        case 0x0C:
            return sr_;
        case 0x10:
            return cr_;
        case 0x14:
            return optcr_;
        default:
            chip_.log().line("FLASH: read of unmodelled offset " + hex_text(offset));
            return 0;
    }
}

void FlashInterface::write(uint32_t offset, uint32_t value, unsigned)
{
    switch (offset) {
        case 0x00:
            // A cache can be reset only while it is disabled; with it enabled the reset bit does nothing.
            if ((value & kAcrIcRst) && (acr_ & kAcrIcEn))
                chip_.log().line("FLASH: ICRST while the instruction cache is on");
            if ((value & kAcrDcRst) && (acr_ & kAcrDcEn)) chip_.log().line("FLASH: DCRST while the data cache is on");
            acr_ = value & kAcrWritable;
            return;
        case 0x04:
        case 0x08:
            return;  // the unlock keys; the locks are not modelled
        case 0x0C:
            sr_ &= ~value;
            return;  // status flags clear when written with 1
        case 0x10:
            cr_ = value;
            return;
        case 0x14:
            optcr_ = value;
            return;
        default:
            chip_.log().line("FLASH: write of " + hex_text(value) + " to unmodelled offset " + hex_text(offset));
            return;
    }
}

}  // namespace sim
