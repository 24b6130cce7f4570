// The one register type of the firmware, and where the register blocks live.
//
// On the chip a register is plain memory-mapped I/O: `volatile uint32_t` at the reference manual's
// address. On the PC (NODE_HOST_BUS) a register is a proxy of the same size whose every read and write
// goes to the simulator's bus; the proxy sits in a host mirror of the chip's address ranges, so its bus
// address follows from where it is. A third variant (NODE_REGS_IN_RAM) keeps plain volatile words but
// places the blocks in an ordinary RAM mirror, for running the firmware's logic on an emulated core
// that has none of the STM32's peripherals.
#pragma once

#include <stdint.h>

#if defined(NODE_HOST_BUS)

namespace device {

// What the firmware's register accesses and intrinsics need from the simulated chip.
class Bus {
public:
    virtual uint32_t read(uint32_t address, unsigned width) = 0;
    virtual void write(uint32_t address, uint32_t value, unsigned width) = 0;
    virtual void nop() = 0;                     // one core cycle of nothing
    virtual void set_primask(bool masked) = 0;  // __disable_irq / __enable_irq
    virtual uint32_t load_exclusive(uint32_t address) = 0;
    virtual bool store_exclusive(uint32_t address, uint32_t value) = 0;  // true when stored
    virtual void barrier() = 0;                                          // __DSB / __ISB / __DMB

protected:
    ~Bus() = default;
};

void install_bus(Bus* bus);

// The host mirror of the chip's peripheral (0x40000000...) and core (0xE0000000...) ranges.
namespace detail {
// Every register access of the firmware passes here, so these two are inline.
extern Bus* installed_bus;
extern unsigned char peripheral_mirror[];
extern unsigned char core_mirror[];
constexpr uint32_t kPeripheralBase = 0x40000000U, kPeripheralSize = 0x30000U;
// The core's range reaches the debug unit (DBGMCU, 0xE0042000).
constexpr uint32_t kCoreBase = 0xE0000000U, kCoreSize = 0x43000U;
[[noreturn]] void no_bus();
[[noreturn]] void outside_mirror(const volatile void* host_pointer);
[[noreturn]] void no_mirror(uint32_t chip_address);
}  // namespace detail

inline void* mirror_of(uint32_t chip_address)
{
    if (chip_address - detail::kPeripheralBase < detail::kPeripheralSize)
        return detail::peripheral_mirror + (chip_address - detail::kPeripheralBase);
    if (chip_address - detail::kCoreBase < detail::kCoreSize)
        return detail::core_mirror + (chip_address - detail::kCoreBase);
    detail::no_mirror(chip_address);
}

inline Bus& bus()
{
    if (detail::installed_bus == nullptr) detail::no_bus();
    return *detail::installed_bus;
}

inline uint32_t chip_address_of(const volatile void* host_pointer)
{
    auto p = reinterpret_cast<uintptr_t>(host_pointer);
    auto peripherals = reinterpret_cast<uintptr_t>(detail::peripheral_mirror);
    if (p - peripherals < detail::kPeripheralSize)
        return detail::kPeripheralBase + static_cast<uint32_t>(p - peripherals);
    auto core = reinterpret_cast<uintptr_t>(detail::core_mirror);
    if (p - core < detail::kCoreSize) return detail::kCoreBase + static_cast<uint32_t>(p - core);
    detail::outside_mirror(host_pointer);
}
// Whether a host address lies in the mirror (so is a register), and its chip address if so.
bool in_mirror(uintptr_t host_address);

template <typename T>
class Register {
public:
    Register() = default;
    Register(const Register&) = delete;

    operator T() const { return static_cast<T>(bus().read(address(), sizeof(T))); }
    Register& operator=(T value)
    {
        bus().write(address(), value, sizeof(T));
        return *this;
    }
    // Copying one register into another is a read of one and a write of the other, as on the chip.
    Register& operator=(const Register& other) { return *this = static_cast<T>(other); }
    Register& operator|=(T bits) { return *this = static_cast<T>(*this | bits); }
    Register& operator&=(T bits) { return *this = static_cast<T>(*this & bits); }
    Register& operator^=(T bits) { return *this = static_cast<T>(*this ^ bits); }

    uint32_t address() const { return chip_address_of(this); }

private:
    T storage_ = 0;  // only keeps the layout identical to the chip's; the bus holds the value
};

}  // namespace device

typedef device::Register<uint32_t> reg32_t;
typedef device::Register<uint8_t> reg8_t;
#define DEVICE_BLOCK(type, chip_address) (reinterpret_cast<type*>(device::mirror_of(chip_address)))

#elif defined(NODE_REGS_IN_RAM)

typedef volatile uint32_t reg32_t;
typedef volatile uint8_t reg8_t;
extern "C" void* device_ram_mirror_of(uint32_t chip_address);
#define DEVICE_BLOCK(type, chip_address) (reinterpret_cast<type*>(device_ram_mirror_of(chip_address)))

#else

typedef volatile uint32_t reg32_t;
typedef volatile uint8_t reg8_t;
#define DEVICE_BLOCK(type, chip_address) (reinterpret_cast<type*>(chip_address))

#endif
