#include "profile_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "memory_map.h"

namespace sim::cpu {

CallCycles summarize_calls(std::vector<uint64_t> cycles)
{
    if (cycles.empty()) return {};
    std::sort(cycles.begin(), cycles.end());
    return {cycles.size(), cycles.front(), cycles[(cycles.size() - 1) / 2], cycles.back()};
}

StackRoom stack_room(const ElfImage& image)
{
    StackRoom room;
    if (auto top = image.symbol("_estack")) {
        room.top = *top;
    } else {
        // Word 0 of the vector table at the start of flash: the stack pointer the core starts with.
        for (const LoadSegment& segment : image.segments())
            if (segment.address == kFlashBase && segment.bytes.size() >= 4)
                std::memcpy(&room.top, segment.bytes.data(), 4);
    }
    room.reserve = image.symbol("_Min_Stack_Size");
    if (auto end = image.symbol("_end")) room.floor = *end + image.symbol("_Min_Heap_Size").value_or(0);
    return room;
}

std::string describe_stack(const StackRoom& room, uint32_t lowest_sp)
{
    char text[256];
    if (lowest_sp == UINT32_MAX || lowest_sp > room.top) return "never sampled inside its region";
    const uint32_t used = room.top - lowest_sp;
    int n = std::snprintf(text, sizeof text, "deepest at 0x%08X, %u bytes used", lowest_sp, used);
    std::string out(text, static_cast<size_t>(n));
    if (room.reserve) {
        if (used <= *room.reserve)
            n = std::snprintf(text, sizeof text, "; %u bytes left of the %u the linker reserves (_Min_Stack_Size)",
                              *room.reserve - used, *room.reserve);
        else
            n = std::snprintf(text, sizeof text,
                              "; OVER the %u bytes the linker reserves (_Min_Stack_Size) by %u: a heap grown to "
                              "its limit would be overwritten",
                              *room.reserve, used - *room.reserve);
        out.append(text, static_cast<size_t>(n));
    }
    if (room.floor) {
        if (lowest_sp >= *room.floor)
            n = std::snprintf(text, sizeof text, ", %.1f KiB above the static data and the heap's reserve",
                              (lowest_sp - *room.floor) / 1024.0);
        else
            n = std::snprintf(text, sizeof text, ", %u bytes INTO the static data and the heap's reserve",
                              *room.floor - lowest_sp);
        out.append(text, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace sim::cpu
