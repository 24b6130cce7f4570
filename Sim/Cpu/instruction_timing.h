// What the emulated Cortex-M4's instructions cost in core cycles, in one place: the figures of the
// Cortex-M4 Technical Reference Manual, section 3.3 "Instruction set summary" (table 3-1, "Cortex-M4
// instruction set summary"), and of its FPU chapter's instruction table (section 7.2, "FPU functional
// description", the cycle counts of the floating-point instructions), with the manual's P (a pipeline
// refill), N (registers transferred) and B (barrier) spelt out below.
//
// A translated block's costs are worked out once, when it is first seen (BlockCache): each
// instruction's cost from this table, neighbouring loads and stores pipelined, IT folded. What depends
// on the run is charged when it is known: P when the next block does not follow on (a branch taken, PC
// loaded), a divide's cycles from its operands, and the exception entry, return and tail-chaining.
// The host build keeps its own cost model (Sim/Chip/cost_model.h); this table is the image's alone.
#pragma once

#include <cstdint>

#include "sim_time.h"

typedef struct cs_insn cs_insn;

namespace sim::cpu::timing {

// Exception entry (stacking 8 words, the vector fetched), return (unstacking) and tail-chaining (one
// handler's return straight into the next's entry, no unstacking and stacking between), as the manual
// gives them with zero wait-state memory. Tail-chaining is not applied yet: a chained exception costs a
// return and an entry, 16 cycles more than on silicon.
constexpr Cycles kExceptionEntry{12};
constexpr Cycles kExceptionReturn{10};
constexpr Cycles kTailChain{6};
// (A late-arriving exception of higher priority, during the 12 cycles of another's entry, takes over the
// stacking already under way on silicon; here it is entered after the first's entry, 12 cycles more.)
// The bus figure of a plain load or store (LDR, STR: 2 cycles): the chip's bus charges a register
// access its whole cost (Sim/Chip/cost_model.h: 2 on the core's private bus, 4 through the peripheral
// bridge), of which this much is the instruction's own, already in the block's cost.
constexpr Cycles kPlainAccess{2};
// A divide takes 2 to 12 cycles by its operands (divide_cycles); the block's sum holds the minimum, and
// the rest is not charged at run time yet.
constexpr uint32_t kDivideMin = 2;
constexpr uint32_t kDivideMax = 12;
constexpr Cycles kDivideSqrt{14};  // VDIV.F32, VSQRT.F32

// How one instruction behaves for the block's sum.
enum class Kind : uint8_t {
    Plain,
    Load,    // LDR/LDRB/LDRH/LDRSB/LDRSH/VLDR (single): pipelines with a following single load or store
    Store,   // STR/STRB/STRH/VSTR (single): pipelines after a load; nothing pipelines after it
    Divide,  // SDIV/UDIV: kDivideMin in the block's sum, the rest from the operands when it runs
    It,      // IT: folded (0 cycles) behind a preceding 16-bit instruction
};

struct Cost {
    uint8_t cycles = 1;  // as the table gives it, P excluded
    Kind kind = Kind::Plain;
};

// The table's entry for a decoded instruction (capstone's, with details).
Cost cost_of(const cs_insn& instruction);

// LDM or STM of any addressing mode (capstone's instruction id): a base register, then the list moved.
bool is_load_store_multiple(unsigned id);

// P, the refill after a branch: 1 for a 16-bit target or a word-aligned 32-bit one (one fetch brings
// it), 2 for a 32-bit target that straddles two words (two fetches). `first_halfword` is the target's.
inline uint32_t refill_cycles(uint32_t target, uint16_t first_halfword)
{
    const unsigned top = first_halfword >> 11;
    const bool wide = top == 0x1D || top == 0x1E || top == 0x1F;
    return wide && (target & 2U) ? 2 : 1;
}

// A divide's cycles, by early termination on the quotient: 2 when the divisor is 0 or larger than the
// dividend (the quotient is known at once), else 2 plus one cycle per 3 significant bits of the quotient
// (the divider retires 3 quotient bits a cycle), at most 12. The manual gives only the range 2-12 and
// says that it depends on the operands' leading zeros; this rule spans that range with the quotient's
// size, which is what the leading zeros of the two operands decide.
uint32_t divide_cycles(uint32_t dividend, uint32_t divisor, bool is_signed);

// Sums a straight run of instructions as the core issues them: each at the table's cost, a single load
// or store right behind a single load at 1 (their address and data phases overlap; nothing pipelines
// behind a store), IT at 0 behind a 16-bit instruction it folds onto.
class RunSum {
public:
    // Adds `instruction`; returns the cycles it adds, the first of which starts at cycles() before.
    uint32_t add(const cs_insn& instruction);
    uint32_t cycles() const { return cycles_; }
    // A branch taken (or a refill of any kind) lies between the last instruction and the next.
    void break_flow() { previous_ = Previous{}; }

private:
    struct Previous {
        Kind kind = Kind::Plain;
        bool narrow = false;  // a 16-bit instruction that an IT may fold onto
    };
    uint32_t cycles_ = 0;
    Previous previous_;
};

}  // namespace sim::cpu::timing
