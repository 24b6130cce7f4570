// What the image runner tells a watcher of the core (the cycle profiler) as the image runs: each
// translated block as it is about to run, and each exception's entry and return, with the chip's time
// counted in core cycles since reset (Chip::core_cycles: each stretch at the HCLK of its moment). The
// runner calls it only when one is attached; how the runner prices instructions is none of its business:
// a watcher takes the time that passed between two calls as spent by what ran between them.
#pragma once

#include <cstdint>

#include "sim_time.h"

namespace sim::cpu {

class BlockObserver {
public:
    // The block at `address` (`size` bytes) is about to run: time up to `now` was spent by what ran
    // before it. `sp` and `lr` are the core's stack pointer and link register as the block starts.
    virtual void block_start(uint32_t address, uint32_t size, uint32_t sp, uint32_t lr, Cycles now) = 0;
    // The core enters the handler at `handler` for `exception` at `now`, before the entry's own cycles:
    // those, and everything up to the handler's return, are the handler's.
    virtual void exception_entry(int exception, uint32_t handler, Cycles now) = 0;
    // The handler returned: the rest of its last block and the return's own cycles are still its, up to
    // the next block start.
    virtual void exception_return() = 0;
    // A handler worked out in one go (ShortHandler), entry to return, from `from` to `to`.
    virtual void short_exception(int exception, uint32_t handler, Cycles from, Cycles to) = 0;

protected:
    ~BlockObserver() = default;
};

}  // namespace sim::cpu
