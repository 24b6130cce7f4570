// An exception handler that is a short straight run of loads, stores and register arithmetic on flash
// and RAM, ending in the exception return: the 1 kHz tick's (SysTick_Handler branches to HAL_IncTick,
// which adds to a counter in RAM). Taken on the engine, each such exception costs an exit from the
// engine's run loop and a re-entry for the entry and again for the return, three block hooks and a
// store on the engine's slow path (2.0.1 takes it for every store to RAM), some 10 000 host instructions;
// worked out here it costs a few hundred, with the same effect: its stores, and one core cycle for each
// of its instructions, as the engine's blocks are charged. Its registers need no writing back: it writes
// only r0-r3 and r12, which the return restores from the frame.
//
// The run is decided when the handler is first seen (decode); each taking then works it out with the
// values in memory (run), and gives up, changing nothing, where a value takes it off that path (an
// address outside flash and RAM, or not aligned): the engine takes it then.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "flash_timing.h"
#include "memory_map.h"

namespace sim::cpu {

class ShortHandler {
public:
    // The handler whose vector is `vector` (a Thumb address), when it is such a run; its code is read
    // from `memory`.
    static std::optional<ShortHandler> decode(uint32_t vector, const CoreMemory& memory);

    // Instructions it executes, and their core cycles as the engine's blocks would be charged
    // (instruction_timing.h: the table's sum, P for each branch taken; the exception return's bx lr
    // without P, which the return's own figure holds).
    uint32_t instructions() const { return instructions_; }
    uint32_t cycles() const { return cycles_; }
    // Its reads of the flash, as the engine's blocks would make them (a branch starts a block).
    const std::vector<FlashRead>& flash_reads() const { return flash_reads_; }

    // Works the handler out with the stack pointer at the exception frame `sp`, and makes its stores.
    // False, with nothing stored, when a value takes it off its path.
    bool run(const CoreMemory& memory, uint32_t sp) const;

    enum class Op : uint8_t { Load, Store, Add, Sub, Move };
    struct Step {
        Op op = Op::Move;
        uint8_t size = 4;      // bytes, of a load or store
        uint8_t rd = 0;        // register number (0-12, 13 sp); of a load or a result; a store's value
        uint8_t rn = 0;        // the base of a load or store, the first operand otherwise
        int8_t rm = -1;        // the second operand's register, or -1 for `imm`
        int32_t imm = 0;       // offset of a load or store, or the immediate operand
        bool literal = false;  // a load of the constant at `imm` (a pc-relative load, resolved)
    };

private:
    std::vector<Step> steps_;
    uint32_t instructions_ = 0;
    uint32_t cycles_ = 0;
    std::vector<FlashRead> flash_reads_;
};

}  // namespace sim::cpu
