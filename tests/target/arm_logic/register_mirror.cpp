// The STM32's registers for a core that has none of its peripherals.
//
// The firmware's logic is compiled with its register blocks redirected here: each chip address in the
// peripheral range (0x40000000-0x4002FFFF) or the core's private range (0xE0000000-0xE000FFFF) maps to
// a word of plain RAM in the emulated board. A register then keeps what was last written, so a case can
// read back a compare value or a BSRR write, and preset what the firmware reads (an auto-reload value).
// The arrays live above the stack (the .mirror section), so the heap and stack limits stay the chip's.
#include <stdint.h>

namespace {

constexpr uint32_t kPeripheralBase = 0x40000000U;
constexpr uint32_t kPeripheralSize = 0x30000U;  // APB1, APB2 and AHB1
constexpr uint32_t kCoreBase = 0xE0000000U;
constexpr uint32_t kCoreSize = 0x10000U;  // private peripheral bus: SysTick, NVIC, SCB, DWT, CoreDebug

__attribute__((section(".mirror"), aligned(8))) uint8_t peripheral_mirror[kPeripheralSize];
__attribute__((section(".mirror"), aligned(8))) uint8_t core_mirror[kCoreSize];

// An address outside both ranges has no register behind it on the STM32 either; hand back a scratch
// word rather than a wild pointer, so a fault in a case shows as a failed check, not a crash.
__attribute__((section(".mirror"), aligned(8))) uint8_t unmapped[64];

}  // namespace

extern "C" void* device_ram_mirror_of(uint32_t chip_address)
{
    if (chip_address - kPeripheralBase < kPeripheralSize) return peripheral_mirror + (chip_address - kPeripheralBase);
    if (chip_address - kCoreBase < kCoreSize) return core_mirror + (chip_address - kCoreBase);
    return unmapped;
}

// Every register back to zero, for a case that wants a clean chip.
extern "C" void register_mirror_clear(void)
{
    for (uint32_t i = 0; i < kPeripheralSize; ++i) peripheral_mirror[i] = 0;
    for (uint32_t i = 0; i < kCoreSize; ++i) core_mirror[i] = 0;
}
