#include "instruction_timing.h"

#include <capstone/capstone.h>

#include <bit>

namespace sim::cpu::timing {

namespace {

// Registers a load or store multiple moves (N): its register-list operands; a double-precision FP
// register counts as two 32-bit transfers.
uint32_t transferred(const cs_insn& instruction, bool has_base)
{
    const cs_arm& arm = instruction.detail->arm;
    uint32_t words = 0;
    for (uint8_t o = has_base ? 1 : 0; o < arm.op_count; ++o) {
        const cs_arm_op& op = arm.operands[o];
        if (op.type != ARM_OP_REG) continue;
        words += (op.reg >= ARM_REG_D0 && op.reg <= ARM_REG_D31) ? 2 : 1;
    }
    return words;
}

bool writes_pc(const cs_insn& instruction)
{
    const cs_arm& arm = instruction.detail->arm;
    return arm.op_count > 0 && arm.operands[0].type == ARM_OP_REG && arm.operands[0].reg == ARM_REG_PC;
}

bool double_precision(const cs_insn& instruction)
{
    const cs_arm& arm = instruction.detail->arm;
    for (uint8_t o = 0; o < arm.op_count; ++o)
        if (arm.operands[o].type == ARM_OP_REG && arm.operands[o].reg >= ARM_REG_D0 &&
            arm.operands[o].reg <= ARM_REG_D31)
            return true;
    return false;
}

Cost cycles(uint8_t n, Kind kind = Kind::Plain)
{
    return Cost{n, kind};
}

}  // namespace

bool is_load_store_multiple(unsigned id)
{
    switch (id) {
        case ARM_INS_LDM:
        case ARM_INS_LDMDB:
        case ARM_INS_LDMDA:
        case ARM_INS_LDMIB:
        case ARM_INS_STM:
        case ARM_INS_STMDB:
        case ARM_INS_STMDA:
        case ARM_INS_STMIB:
            return true;
        default:
            return false;
    }
}

Cost cost_of(const cs_insn& instruction)
{
    // LDM and STM: 1 + N (+ P when PC is loaded, charged at the next block), as the FP multiples below.
    if (is_load_store_multiple(instruction.id)) return cycles(static_cast<uint8_t>(1 + transferred(instruction, true)));
    switch (instruction.id) {
        // Single loads and stores: 2, or 1 when pipelined behind a load (the block's sum decides). A load
        // into PC is a branch: 2 + P, P charged when the next block starts.
        case ARM_INS_LDR:
            return writes_pc(instruction) ? cycles(2) : cycles(2, Kind::Load);
        case ARM_INS_LDRB:
        case ARM_INS_LDRH:
        case ARM_INS_LDRSB:
        case ARM_INS_LDRSH:
        case ARM_INS_LDRT:
        case ARM_INS_LDRBT:
        case ARM_INS_LDRHT:
        case ARM_INS_LDRSBT:
        case ARM_INS_LDRSHT:
            return cycles(2, Kind::Load);
        case ARM_INS_STR:
        case ARM_INS_STRB:
        case ARM_INS_STRH:
        case ARM_INS_STRT:
        case ARM_INS_STRBT:
        case ARM_INS_STRHT:
            return cycles(2, Kind::Store);
        // Exclusives: 2, not pipelined.
        case ARM_INS_LDREX:
        case ARM_INS_LDREXB:
        case ARM_INS_LDREXH:
        case ARM_INS_STREX:
        case ARM_INS_STREXB:
        case ARM_INS_STREXH:
            return cycles(2);
        // Doubleword and multiple transfers: 1 + N (+ P when PC is loaded, charged at the next block).
        case ARM_INS_LDRD:
        case ARM_INS_STRD:
        case ARM_INS_LDREXD:
        case ARM_INS_STREXD:
            return cycles(3);
        case ARM_INS_VLDMIA:
        case ARM_INS_VLDMDB:
        case ARM_INS_VSTMIA:
        case ARM_INS_VSTMDB:
            return cycles(static_cast<uint8_t>(1 + transferred(instruction, true)));
        case ARM_INS_PUSH:
        case ARM_INS_POP:
        case ARM_INS_VPUSH:
        case ARM_INS_VPOP:
            return cycles(static_cast<uint8_t>(1 + transferred(instruction, false)));
        // Table branch: 2 + P.
        case ARM_INS_TBB:
        case ARM_INS_TBH:
            return cycles(2);
        // Multiplies: MUL and the long multiplies (the M4's single-cycle 32x32 MAC) 1, MLA and MLS 2.
        case ARM_INS_MLA:
        case ARM_INS_MLS:
            return cycles(2);
        case ARM_INS_SDIV:
        case ARM_INS_UDIV:
            return cycles(kDivideMin, Kind::Divide);
        case ARM_INS_IT:
            return cycles(1, Kind::It);
        // Floating point: loads and stores 2 (3 for a doubleword), multiply-accumulates 3, divide and
        // square root 14, a move between a core register and an FP one or to FPSCR 2, the rest 1.
        case ARM_INS_VLDR:
            return double_precision(instruction) ? cycles(3) : cycles(2, Kind::Load);
        case ARM_INS_VSTR:
            return double_precision(instruction) ? cycles(3) : cycles(2, Kind::Store);
        case ARM_INS_VDIV:
        case ARM_INS_VSQRT:
            return cycles(static_cast<uint8_t>(count_of(kDivideSqrt)));
        case ARM_INS_VMLA:
        case ARM_INS_VMLS:
        case ARM_INS_VNMLA:
        case ARM_INS_VNMLS:
        case ARM_INS_VFMA:
        case ARM_INS_VFMS:
        case ARM_INS_VFNMA:
        case ARM_INS_VFNMS:
            return cycles(3);
        case ARM_INS_VMSR:
            return cycles(2);
        default:
            // Data processing, MUL, the long multiplies, moves, extends, bit fields, saturation, compares,
            // branches (1 + P), barriers (1 + B, with nothing buffered: 1), hints and the FP arithmetic.
            return cycles(1);
    }
}

uint32_t RunSum::add(const cs_insn& instruction)
{
    const Cost cost = cost_of(instruction);
    uint32_t n = cost.cycles;
    const bool single = cost.kind == Kind::Load || cost.kind == Kind::Store;
    if (single && previous_.kind == Kind::Load) n = 1;
    if (cost.kind == Kind::It && previous_.narrow) n = 0;
    previous_ = Previous{cost.kind, instruction.size == 2 && cost.kind != Kind::It};
    cycles_ += n;
    return n;
}

uint32_t divide_cycles(uint32_t dividend, uint32_t divisor, bool is_signed)
{
    if (is_signed) {
        const auto magnitude = [](uint32_t v) { return static_cast<int32_t>(v) < 0 ? 0U - v : v; };
        dividend = magnitude(dividend);
        divisor = magnitude(divisor);
    }
    if (divisor == 0 || divisor > dividend) return kDivideMin;
    const uint32_t quotient_bits = 32U - static_cast<uint32_t>(std::countl_zero(dividend / divisor));
    const uint32_t n = kDivideMin + (quotient_bits + 2) / 3;
    return n > kDivideMax ? kDivideMax : n;
}

}  // namespace sim::cpu::timing
