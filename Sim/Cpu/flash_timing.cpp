#include "flash_timing.h"

#include <capstone/capstone.h>

namespace sim::cpu {

void FlashReadFinder::add(const cs_insn& instruction, uint32_t at, std::vector<FlashRead>& reads)
{
    const auto at16 = static_cast<uint16_t>(at);
    const auto address = static_cast<uint32_t>(instruction.address);
    if (in_flash_) {
        // A 32-bit instruction across a line's end needs both lines.
        const uint32_t first = FlashAccelerator::line_of(address);
        const uint32_t last = FlashAccelerator::line_of(address + instruction.size - 1);
        if (first != line_) reads.push_back(FlashRead{first, at16, false});
        if (last != first) reads.push_back(FlashRead{last, at16, false});
        line_ = last;
    }
    if (instruction.detail == nullptr || instruction.id == ARM_INS_PLD || instruction.id == ARM_INS_PLI) return;
    const cs_arm& arm = instruction.detail->arm;
    for (uint8_t o = 0; o < arm.op_count; ++o) {
        if (arm.operands[o].type != ARM_OP_MEM || arm.operands[o].mem.base != ARM_REG_PC) continue;
        // PC reads as the instruction's address + 4, word-aligned; a table branch's index is not known
        // here (its table starts there).
        const arm_op_mem& mem = arm.operands[o].mem;
        uint32_t target = (address + 4U) & ~3U;
        if (mem.index == ARM_REG_INVALID) target += static_cast<uint32_t>(mem.disp);
        if (FlashAccelerator::in_flash(target))
            reads.push_back(FlashRead{FlashAccelerator::line_of(target), at16, true});
        return;
    }
}

Picos FlashStalls::charge(const std::vector<FlashRead>& reads, Picos start, Picos period, FlashAccelerator& accelerator)
{
    Picos moved = 0;
    for (const FlashRead& read : reads) {
        if (!read.data && accelerator.in_use(read.line)) continue;
        const Picos read_wait = accelerator.settings().latency * period;
        Picos stall = read.data ? accelerator.load(read.line, read_wait)
                                : accelerator.fetch(read.line, start + read.at * period + moved, read_wait);
        if (stall == 0) continue;
        // The core stalls whole cycles (the prefetch's end may fall inside one; it is less than the
        // read's wait then).
        if (stall < read_wait) {
            Picos whole = period;
            while (whole < stall) whole += period;
            stall = whole;
        }
        pending_.push_back(Pending{read.at, stall});
        moved += stall;
    }
    return moved;
}

}  // namespace sim::cpu
