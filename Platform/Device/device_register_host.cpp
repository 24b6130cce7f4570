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
constexpr Range kPeripherals{detail::kPeripheralBase, detail::kPeripheralSize};
constexpr Range kCore{detail::kCoreBase, detail::kCoreSize};

[[noreturn]] void fail(const char* what, uint32_t value)
{
    std::fprintf(stderr, "register seam: %s 0x%08x\n", what, static_cast<unsigned>(value));
    std::abort();
}

}  // namespace

namespace detail {
alignas(8) unsigned char peripheral_mirror[kPeripheralSize];
alignas(8) unsigned char core_mirror[kCoreSize];
Bus* installed_bus = nullptr;

void no_bus()
{
    fail("register access with no simulated chip installed, at", 0);
}
void no_mirror(uint32_t chip_address)
{
    fail("no host mirror for chip address", chip_address);
}
void outside_mirror(const volatile void* host_pointer)
{
    fail("register proxy outside the host mirror, at host address",
         static_cast<uint32_t>(reinterpret_cast<uintptr_t>(host_pointer)));
}
}  // namespace detail

using detail::core_mirror;
using detail::peripheral_mirror;

void install_bus(Bus* bus)
{
    detail::installed_bus = bus;
}

bool in_mirror(uintptr_t p)
{
    return p - reinterpret_cast<uintptr_t>(peripheral_mirror) < kPeripherals.size ||
           p - reinterpret_cast<uintptr_t>(core_mirror) < kCore.size;
}

}  // namespace device
