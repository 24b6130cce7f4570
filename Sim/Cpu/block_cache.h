// What the core needs to know about a block of Thumb code before running it: how many instructions it
// holds (one core cycle each) and whether one of them is a floating-point instruction, which faults
// unless CPACR grants the coprocessors CP10 and CP11. Each block is decoded once, when first seen.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

namespace sim::cpu {

struct BlockInfo {
    uint32_t instructions = 0;
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
