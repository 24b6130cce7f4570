// The image's reads of the flash, timed behind the ART accelerator (Sim/Chip/flash_accelerator.h).
// Where a block of code reads the flash is found once, when the block is decoded: the 128-bit lines its
// instructions enter, in order, and its literal loads (pc-relative: their address is known from the
// code), each at the cycle of its instruction in the block's sum. When the block runs, the accelerator
// is asked for each in turn, the stalls added up at the block's start and each moving what comes after
// it in the block (a register access's time among them). A line's prefetch is timed from the cycles run
// in the line before inside the block; the first line of a block counts its prefetch as done.
// Not seen: data the code reads from flash through a register (a constant table, a string): the engine
// reads its flash like RAM, with no call to the runner. A table branch's table is read as its first
// line. The vector fetch of an exception entry is in the entry's 12 cycles.
#pragma once

#include <cstdint>
#include <vector>

#include "flash_accelerator.h"
#include "sim_time.h"

typedef struct cs_insn cs_insn;

namespace sim::cpu {

struct FlashRead {
    uint32_t line = 0;   // FlashAccelerator::line_of
    uint16_t at = 0;     // core cycles from the block's start to its instruction's start
    bool data = false;   // a literal load; else the core enters the line to fetch instructions
    bool first = false;  // the block's first line (what ran before it is not known)
};

// Built while a block is decoded, instruction by instruction.
class FlashReadFinder {
public:
    explicit FlashReadFinder(uint32_t block_address) : in_flash_(FlashAccelerator::in_flash(block_address)) {}
    // `instruction` starts `at` cycles into the block.
    void add(const cs_insn& instruction, uint32_t at, std::vector<FlashRead>& reads);
    // A branch taken: what follows starts a block of its own.
    void branch() { line_ = kNone; }

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    bool in_flash_;
    uint32_t line_ = kNone;  // the line the last instruction ended in
};

// The stalls of a run of reads, in core cycles: their sum, and with `each` given, each non-zero one
// with the cycle of its instruction.
struct FlashStall {
    uint32_t at;
    uint32_t cycles;
};
uint32_t flash_stalls(const std::vector<FlashRead>& reads, FlashAccelerator& accelerator,
                      std::vector<FlashStall>* each = nullptr);

// The stalls of the block running now.
class FlashStalls {
public:
    // At a block's start (one core cycle `period`): the accelerator's answer for each of the block's
    // reads. Returns their sum.
    Picos begin(const std::vector<FlashRead>& reads, Picos period, FlashAccelerator& accelerator)
    {
        pending_.clear();
        next_ = 0;
        period_ = period;
        // The common case, a block inside the line in use, asks the accelerator for nothing.
        for (const FlashRead& read : reads)
            if (read.data || !accelerator.in_use(read.line))
                return flash_stalls(reads, accelerator, &pending_) * period;
        return 0;
    }
    // The stalls, not yet given, of the reads up to the instruction `at` cycles into the block (a
    // fetch into its own line included): the time that instruction moves by.
    Picos until(uint32_t at)
    {
        if (next_ == pending_.size()) return 0;
        uint32_t sum = 0;
        while (next_ < pending_.size() && pending_[next_].at <= at) sum += pending_[next_++].cycles;
        return sum * period_;
    }

private:
    std::vector<FlashStall> pending_;  // the block's non-zero stalls, in order
    size_t next_ = 0;
    Picos period_ = 0;
};

}  // namespace sim::cpu
