// Core intrinsics the platform and the firmware use. On the chip they are single instructions; on the PC
// they go to the simulated core, which keeps PRIMASK, the exclusive monitor and the cycle count.
#pragma once

#include "device_register.h"

#if defined(NODE_HOST_BUS)

static inline void __disable_irq(void)
{
    device::bus().set_primask(true);
}
static inline void __enable_irq(void)
{
    device::bus().set_primask(false);
}
static inline void __NOP(void)
{
    device::bus().nop();
}
static inline void __DSB(void)
{
    device::bus().barrier();
}
static inline void __ISB(void)
{
    device::bus().barrier();
}
static inline void __DMB(void)
{
    device::bus().barrier();
}
static inline uint32_t __LDREXW(reg32_t* address)
{
    return device::bus().load_exclusive(address->address());
}
static inline uint32_t __STREXW(uint32_t value, reg32_t* address)
{
    return device::bus().store_exclusive(address->address(), value) ? 0U : 1U;
}

#else

static inline __attribute__((always_inline)) void __disable_irq(void)
{
    __asm volatile("cpsid i" ::: "memory");
}
static inline __attribute__((always_inline)) void __enable_irq(void)
{
    __asm volatile("cpsie i" ::: "memory");
}
static inline __attribute__((always_inline)) void __NOP(void)
{
    __asm volatile("nop");
}
static inline __attribute__((always_inline)) void __DSB(void)
{
    __asm volatile("dsb 0xF" ::: "memory");
}
static inline __attribute__((always_inline)) void __ISB(void)
{
    __asm volatile("isb 0xF" ::: "memory");
}
static inline __attribute__((always_inline)) void __DMB(void)
{
    __asm volatile("dmb 0xF" ::: "memory");
}

static inline __attribute__((always_inline)) uint32_t __LDREXW(volatile uint32_t* address)
{
    uint32_t result;
    __asm volatile("ldrex %0, %1" : "=r"(result) : "Q"(*address));
    return result;
}

// 0 when the store happened, 1 when the exclusive monitor was lost (an exception came in between).
static inline __attribute__((always_inline)) uint32_t __STREXW(uint32_t value, volatile uint32_t* address)
{
    uint32_t result;
    __asm volatile("strex %0, %2, %1" : "=&r"(result), "=Q"(*address) : "r"(value));
    return result;
}

#endif
