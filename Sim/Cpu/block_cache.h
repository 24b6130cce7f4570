// What the core needs to know about a block of Thumb code before running it: how many instructions it
// holds, what they cost in core cycles run straight through (instruction_timing.h), which of them may
// reach a register of the chip and at which cycle of the block, and whether one of them is a
// floating-point instruction, which faults unless CPACR grants the coprocessors CP10 and CP11. Each
// block is decoded once, when first seen.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "flash_timing.h"

namespace sim::cpu {

// An instruction of a block that may load or store a register of the chip (any load or store whose
// base is neither sp nor pc): where it is and when it starts, and how to work out the address it
// reaches from the registers, so that an access the engine reports (with no PC of its own) can be
// matched to it.
struct AccessSite {
    uint32_t pc = 0;
    uint16_t at = 0;           // core cycles from the block's start to the instruction's start
    uint8_t own = 0;           // its own cycles in the block's sum
    uint8_t base = 0;          // register number (0-12, 13 sp, 14 lr)
    uint8_t index = kNoIndex;  // the offset register, or kNoIndex
    uint8_t shift = 0;         // of the offset register
    bool subtract = false;     // the offset register is subtracted
    uint8_t span = 4;          // bytes reached from the effective address
    int32_t offset = 0;        // the immediate offset (a multiple's first word for decrement-before)
    static constexpr uint8_t kNoIndex = 0xFF;
};

struct BlockInfo {
    uint32_t instructions = 0;
    uint32_t cycles = 0;  // run straight through: the timing table's sum, P and the divides' extra excluded
    std::vector<AccessSite> accesses;    // in program order
    std::vector<FlashRead> flash_reads;  // lines entered and literals loaded from flash, in program order
    // Each instruction's address and its start in cycles from the block's, for an interrupt due inside
    // the block: it is taken at the first boundary at or after its time.
    struct Boundary {
        uint32_t pc;
        uint32_t at;
    };
    std::vector<Boundary> boundaries;
    bool exclusive_store = false;      // holds a STREX, which an exception taken before it must make fail
    std::optional<uint32_t> first_fp;  // address of its first floating-point instruction
    // Changes nothing but core registers: no store, no change of the mask or special registers, no
    // supervisor call, breakpoint or wait for an event, no floating point. A loop of such blocks that
    // comes round to the same registers can only be ended by an interrupt.
    bool only_registers = false;
    // Core registers r0-r12, sp, lr (bit n: rn) that the block reads before writing them, and that it
    // writes. `registers_known` is false when the disassembler could not say.
    uint16_t live_in = 0;
    uint16_t written = 0;
    bool registers_known = false;
};

class BlockCache {
public:
    BlockCache();
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // `code` holds the block's `size` bytes as they sit at `address`.
    const BlockInfo& lookup(uint32_t address, uint32_t size, const uint8_t* code);
    void clear()
    {
        blocks_.clear();
        recent_.assign(kRecent, Recent{});
    }

    // Which instruction of a block accessed `target`, from the registers as they are at that access
    // (the engine reports a bad access with the block's address as its PC). Reads registers by
    // capstone's ARM register number.
    std::optional<uint32_t> find_access(uint32_t address, uint32_t size, const uint8_t* code, uint32_t target,
                                        const std::function<uint32_t(unsigned)>& register_value) const;

    // Instructions in `size` bytes of Thumb code: a halfword whose top five bits are 0b11101, 0b11110 or
    // 0b11111 starts a 32-bit instruction.
    static uint32_t count_instructions(const uint8_t* code, uint32_t size);

private:
    void classify(uint32_t address, uint32_t size, const uint8_t* code, BlockInfo& info) const;

    size_t disassembler_ = 0;  // capstone's csh
    // Keyed by address and size; the map's nodes stay put, so the direct-mapped front (indexed by the
    // address's low bits) can point into it: the lookup at every block start is then a compare.
    std::unordered_map<uint64_t, BlockInfo> blocks_;
    struct Recent {
        uint32_t address = 1;  // odd: matches no Thumb block
        uint32_t size = 0;
        const BlockInfo* info = nullptr;
    };
    static constexpr size_t kRecent = 4096;
    std::vector<Recent> recent_ = std::vector<Recent>(kRecent);
};

}  // namespace sim::cpu
