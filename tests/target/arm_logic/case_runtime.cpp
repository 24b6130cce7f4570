// The start-up and runtime pieces that run on the chip itself: SystemInit's FPU grant and the heap
// bound of _sbrk, linked here with the same layout of the first 128 KiB of RAM as on the STM32F411.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "logic_case.h"
#include "stm32f4xx.h"
#include "system_stm32f4xx.h"

extern "C" void* _sbrk(ptrdiff_t incr);
extern "C" uint8_t _end[];

namespace {

constexpr uintptr_t kHeapLimit = 0x2001FC00U;  // _estack 0x20020000 - _Min_Stack_Size 0x400

uintptr_t break_now()
{
    return reinterpret_cast<uintptr_t>(_sbrk(0));
}
bool refused(void* p)
{
    return p == reinterpret_cast<void*>(-1);
}

}  // namespace

// CP10 and CP11 (bits 20-23) set, every other bit of CPACR left as it was.
LOGIC_CASE(system_init_grants_the_fpu_and_keeps_other_cpacr_bits)
{
    const uint32_t before[] = {0x00000000U, 0xFF0FFFFFU, 0x00500000U, 0xA5A5A5A5U};
    for (uint32_t value : before) {
        SCB->CPACR = value;
        SystemInit();
        expect(SCB->CPACR == (value | 0x00F00000U), "CPACR 0x%08lx became 0x%08lx", static_cast<unsigned long>(value),
               static_cast<unsigned long>(SCB->CPACR));
    }
    expect(SystemCoreClock == 16000000U, "SystemCoreClock %lu at reset", static_cast<unsigned long>(SystemCoreClock));
}

LOGIC_CASE(sbrk_grows_to_the_stack_reserve_and_not_a_byte_beyond)
{
    // Earlier cases may have let the C library take some heap already; the break is never below _end,
    // which sits on an 8-byte boundary.
    const uintptr_t start = break_now();
    const uintptr_t end = reinterpret_cast<uintptr_t>(_end);
    expect(start >= end && end % 8 == 0, "break 0x%08lx, _end 0x%08lx", static_cast<unsigned long>(start),
           static_cast<unsigned long>(end));

    // Up to exactly 0x2001FC00.
    expect(reinterpret_cast<uintptr_t>(_sbrk(static_cast<ptrdiff_t>(kHeapLimit - start))) == start,
           "request ending at the limit refused");
    expect(break_now() == kHeapLimit, "break 0x%08lx after reaching the limit",
           static_cast<unsigned long>(break_now()));

    // One byte more: ENOMEM, (void*)-1, break unchanged.
    errno = 0;
    expect(refused(_sbrk(1)), "one byte beyond the limit granted");
    expect(errno == ENOMEM, "errno %d, expected ENOMEM", errno);
    expect(break_now() == kHeapLimit, "break moved by a refused request");

    // A request so large that the new break would wrap past the top of the address space.
    errno = 0;
    expect(refused(_sbrk(PTRDIFF_MAX)), "a wrapping request granted");
    expect(errno == ENOMEM && break_now() == kHeapLimit, "a wrapping request changed errno %d or the break", errno);

    // Give it all back, for the C library's own allocations in later cases.
    expect(reinterpret_cast<uintptr_t>(_sbrk(-static_cast<ptrdiff_t>(kHeapLimit - start))) == kHeapLimit &&
               break_now() == start,
           "break not restored to 0x%08lx", static_cast<unsigned long>(start));
}

// The C library's allocator ends at the same bound: malloc fails cleanly instead of handing out the stack.
LOGIC_CASE(malloc_stops_at_the_stack_reserve)
{
    void* too_big = malloc(kHeapLimit - reinterpret_cast<uintptr_t>(_end) + 16U);
    expect(too_big == nullptr, "malloc larger than the heap returned %p", too_big);
    void* small = malloc(64);
    expect(small != nullptr && reinterpret_cast<uintptr_t>(small) + 64U <= kHeapLimit, "malloc(64) gave %p", small);
    free(small);
}
