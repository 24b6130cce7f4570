// Where the STM32F411's memories and buses sit, as the core sees them.
#pragma once

#include <cstdint>

namespace sim::cpu {

constexpr uint32_t kFlashBase = 0x08000000U;
constexpr uint32_t kFlashSize = 512U * 1024U;
// Booting from flash, the chip aliases flash at address 0: the core fetches its vector table there.
constexpr uint32_t kFlashAlias = 0x00000000U;
constexpr uint32_t kRamBase = 0x20000000U;
constexpr uint32_t kRamSize = 128U * 1024U;
// AHB and APB peripherals: the whole 512 MiB peripheral region goes to the chip models, so that an
// access to a hole is reported by the chip as in the host build.
constexpr uint32_t kPeripheralBase = 0x40000000U;
constexpr uint32_t kPeripheralSize = 0x20000000U;
// The core's private peripheral bus: NVIC, SysTick, SCB, DWT, CoreDebug.
constexpr uint32_t kPrivateBusBase = 0xE0000000U;
constexpr uint32_t kPrivateBusSize = 0x00100000U;
// A page of our own for the exception entry stub, in the system-memory (boot loader ROM) area that an
// image started from flash never reads.
constexpr uint32_t kStubBase = 0x1FFF0000U;
constexpr uint32_t kStubSize = 0x1000U;

constexpr bool in_range(uint32_t address, uint32_t base, uint32_t size)
{
    return address - base < size;
}

// Flash (and its alias at 0), RAM and the stub's page as the core sees them, held by the runner and
// mapped into the engine: a pointer to `size` bytes at `address`, or nullptr outside them (a
// peripheral, a hole, or past a memory's end).
class CoreMemory {
public:
    CoreMemory(uint8_t* flash, uint8_t* ram, uint8_t* stub) : flash_(flash), ram_(ram), stub_(stub) {}

    uint8_t* at(uint32_t address, uint32_t size) const
    {
        if (inside(address, size, kRamBase, kRamSize)) return ram_ + (address - kRamBase);
        if (inside(address, size, kFlashBase, kFlashSize)) return flash_ + (address - kFlashBase);
        if (inside(address, size, kFlashAlias, kFlashSize)) return flash_ + (address - kFlashAlias);
        if (inside(address, size, kStubBase, kStubSize)) return stub_ + (address - kStubBase);
        return nullptr;
    }
    // RAM only: what a store may reach.
    uint8_t* ram_at(uint32_t address, uint32_t size) const
    {
        return inside(address, size, kRamBase, kRamSize) ? ram_ + (address - kRamBase) : nullptr;
    }

private:
    static bool inside(uint32_t address, uint32_t size, uint32_t base, uint32_t length)
    {
        return in_range(address, base, length) && size <= base + length - address;
    }
    uint8_t* flash_;
    uint8_t* ram_;
    uint8_t* stub_;
};

}  // namespace sim::cpu
