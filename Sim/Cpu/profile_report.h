// What the cycle profiler's figures mean to a reader: a timed function's cycles per call, and the
// stack's deepest point against the room the image's linker script leaves it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elf_image.h"

namespace sim::cpu {

struct CallCycles {
    size_t calls = 0;
    uint64_t min = 0;
    uint64_t median = 0;  // of an even count, the lower of the two middle calls (a call that happened)
    uint64_t max = 0;
};
CallCycles summarize_calls(std::vector<uint64_t> cycles);

// The stack's room as the image's symbols give it: it starts at `top` (_estack, else the vector table's
// initial stack pointer) and runs down; the linker reserves `reserve` bytes for it (_Min_Stack_Size), and
// below the reserve the heap may grow up to `top - reserve`; below all free RAM lie the static data and
// the heap's own reserve, ending at `floor` (_end + _Min_Heap_Size).
struct StackRoom {
    uint32_t top = 0;
    std::optional<uint32_t> reserve;
    std::optional<uint32_t> floor;
};
StackRoom stack_room(const ElfImage& image);

// "deepest at 0x2001FE40, 448 bytes used; 576 bytes left of the 1024 the linker reserves
// (_Min_Stack_Size), 125.1 KiB above the static data and the heap's reserve", or the overflow it is.
std::string describe_stack(const StackRoom& room, uint32_t lowest_sp);

}  // namespace sim::cpu
