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
        if (first != line_) reads.push_back(FlashRead{first, at16, false, line_ == kNone});
        if (last != first) reads.push_back(FlashRead{last, at16, false, false});
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
            reads.push_back(FlashRead{FlashAccelerator::line_of(target), at16, true, false});
        return;
    }
}

uint32_t flash_stalls(const std::vector<FlashRead>& reads, FlashAccelerator& accelerator, std::vector<FlashStall>* each)
{
    uint32_t total = 0;
    uint32_t entered = 0;  // the cycle the last line fetched was entered at, in the block's sum
    for (const FlashRead& read : reads) {
        uint32_t stall = 0;
        if (read.data) {
            stall = accelerator.load(read.line);
        } else {
            const uint32_t ran = read.first ? FlashAccelerator::kLongAgo : read.at - entered;
            stall = accelerator.fetch(read.line, ran);
            entered = read.at;
        }
        if (stall == 0) continue;
        if (each != nullptr) each->push_back(FlashStall{read.at, stall});
        total += stall;
    }
    return total;
}

}  // namespace sim::cpu
