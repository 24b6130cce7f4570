// The C library's break: the heap for malloc, from the end of the static data up to the stack reserve.
//
// RAM above the static data is shared by the heap (growing up from _end) and the stack (growing down
// from _estack). The heap may grow up to _estack - _Min_Stack_Size (0x2001FC00 on this chip), which
// keeps the 1 KiB stack reserve for the main loop and its interrupts; nothing guards the stack itself.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

// Linker script symbols; only their addresses mean anything (_Min_Stack_Size's address is the size).
extern uint8_t _end[];
extern uint8_t _estack[];
extern uint8_t _Min_Stack_Size[];

// The current break; 0 until the first call, since .bss is all this can rely on.
static uintptr_t heap_break = 0;

// Moves the break by incr bytes and returns the old break, or (void*)-1 with errno ENOMEM when the new
// break would leave [_end, _estack - _Min_Stack_Size]; the break is then unchanged. A request that ends
// exactly at the limit succeeds. Negative requests (a trimming allocator) may give memory back, but
// never below _end, where the static data live.
void* _sbrk(ptrdiff_t incr)
{
    const uintptr_t heap_start = reinterpret_cast<uintptr_t>(_end);
    const uintptr_t heap_limit = reinterpret_cast<uintptr_t>(_estack) - reinterpret_cast<uintptr_t>(_Min_Stack_Size);

    if (heap_break == 0) {
        heap_break = heap_start;
    }
    const uintptr_t previous = heap_break;
    // Compared as distances from the start, so a huge request cannot wrap past the end of the
    // address space and look small.
    const uintptr_t used = previous - heap_start;
    if (incr >= 0) {
        if (static_cast<uintptr_t>(incr) > heap_limit - previous) {
            errno = ENOMEM;
            return reinterpret_cast<void*>(-1);
        }
    } else {
        if (static_cast<uintptr_t>(-(incr + 1)) + 1U > used) {
            errno = ENOMEM;
            return reinterpret_cast<void*>(-1);
        }
    }
    heap_break = previous + static_cast<uintptr_t>(incr);
    return reinterpret_cast<void*>(previous);
}

}  // extern "C"
