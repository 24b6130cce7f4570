// Host side of the register seam: the mirror of the chip's address ranges in which the register
// proxies sit, and the bus they talk to.
#include "device_register.h"

#include <cstdio>
#include <cstdlib>

namespace device {
namespace {

struct Range {
    uint32_t chip_base;
    uint32_t size;
};

// APB1, APB2 and AHB1 (0x40000000-0x4002FFFF) and the core's private peripheral bus (0xE0000000-0xE000FFFF).
constexpr Range kPeripherals{0x40000000U, 0x30000U};
constexpr Range kCore{0xE0000000U, 0x10000U};

alignas(8) unsigned char g_peripheral_mirror[kPeripherals.size];
alignas(8) unsigned char g_core_mirror[kCore.size];

Bus* g_bus = nullptr;

[[noreturn]] void fail(const char* what, uint32_t value)
{
    std::fprintf(stderr, "register seam: %s 0x%08x\n", what, static_cast<unsigned>(value));
    std::abort();
}

}  // namespace

void install_bus(Bus* bus) { g_bus = bus; }

Bus& bus()
{
    if (g_bus == nullptr) fail("register access with no simulated chip installed, at", 0);
    return *g_bus;
}

void* mirror_of(uint32_t chip_address)
{
    if (chip_address - kPeripherals.chip_base < kPeripherals.size)
        return g_peripheral_mirror + (chip_address - kPeripherals.chip_base);
    if (chip_address - kCore.chip_base < kCore.size) return g_core_mirror + (chip_address - kCore.chip_base);
    fail("no host mirror for chip address", chip_address);
}

bool in_mirror(uintptr_t p)
{
    return p - reinterpret_cast<uintptr_t>(g_peripheral_mirror) < kPeripherals.size ||
           p - reinterpret_cast<uintptr_t>(g_core_mirror) < kCore.size;
}

uint32_t chip_address_of(const volatile void* host_pointer)
{
    auto p = reinterpret_cast<uintptr_t>(host_pointer);
    auto peripherals = reinterpret_cast<uintptr_t>(g_peripheral_mirror);
    auto core = reinterpret_cast<uintptr_t>(g_core_mirror);
    if (p - peripherals < kPeripherals.size) return kPeripherals.chip_base + static_cast<uint32_t>(p - peripherals);
    if (p - core < kCore.size) return kCore.chip_base + static_cast<uint32_t>(p - core);
    fail("register proxy outside the host mirror, at host address", static_cast<uint32_t>(p));
}

}  // namespace device
