// Recognises a waiting loop of the running code, so that the core can jump over its iterations to the
// next event without changing any timing.
//
// A candidate is a short cycle of blocks (up to kMaxPeriod) that changes nothing but core registers
// (no store, no mask change, no floating point) and writes no register of the chip. After two clean
// iterations of equal length:
//  - reading the same values from the same registers, none of them a counter, with the same core
//    registers at the loop head as one iteration before, the loop cannot end by itself: the registers
//    it polls change only at events (a read's side effect, such as clearing a flag already clear,
//    does nothing the second time), so only an event can end it;
//  - with one read of the cycle counter, which grows by the same step every iteration, registers that
//    differ from one head to the next must be ones the iteration overwrites before reading (the value
//    read last time): the loop is a function of the counter alone, and its exit iteration can be found
//    by trying iterations with the counter value they would read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "block_cache.h"
#include "sim_time.h"
#include "soc_layout.h"

namespace sim::cpu {

constexpr uint32_t kCycleCounterAddress = soc::kDwt.base + 0x4U;  // DWT CYCCNT

// The core registers at a loop head: r0-r12, sp, lr, and the condition flags.
struct HeadState {
    std::array<uint32_t, 15> registers{};
    uint32_t flags = 0;
    bool operator==(const HeadState&) const = default;
};

struct WaitLoop {
    uint32_t head = 0;
    std::vector<uint32_t> blocks;  // block addresses of one iteration, the head first
    Picos iteration_time = 0;
    uint32_t instructions = 0;  // per iteration
    bool reads_counter = false;
    uint32_t last_counter = 0;     // what the last iteration read
    uint32_t counter_step = 0;     // what the counter gains each iteration
    uint16_t live_in = 0;          // core registers (bit n: rn) an iteration reads before writing
    bool reads_registers = false;  // of the chip (not the counter); without, it waits on memory alone
    Picos counter_read_at = 0;     // from the head's start to the counter's read (time moves inside blocks)
};

class WaitLoopWatch {
public:
    static constexpr size_t kMaxPeriod = 12;

    // At each block start, with time charged up to it. True at the head of a loop after a clean
    // iteration: the caller then reports the registers with at_head().
    bool block(uint32_t address, const BlockInfo& info, Picos now);
    // `counter`: the register changes with time between events; `at`: the chip's time at the access.
    void bus_read(uint32_t address, uint32_t value, bool counter, Picos at = 0);
    void bus_write() { ++writes_; }
    // An exception entered or returned: whatever was being watched is not one loop any more.
    void forget() { tracking_ = false; }
    std::optional<WaitLoop> at_head(const HeadState& state);

private:
    void start(uint32_t address, Picos now);
    void new_iteration(Picos now);

    // The last blocks run, a ring of a power of two so that indexing is a mask.
    static constexpr size_t kHistory = 16;
    static_assert(kHistory > kMaxPeriod);
    std::array<uint32_t, kHistory> history_{};
    size_t history_next_ = 0;
    uint32_t back(size_t steps) const { return history_[(history_next_ - 1 - steps) & (kHistory - 1)]; }

    bool tracking_ = false;
    std::vector<uint32_t> blocks_;
    size_t position_ = 0;  // blocks of the current iteration seen so far
    Picos head_time_ = 0;
    int clean_ = 0;  // clean iterations in a row
    std::optional<HeadState> last_head_;
    Picos last_iteration_time_ = 0;
    bool have_counter_ = false;
    uint32_t last_counter_ = 0;
    uint32_t counter_step_ = 0;

    // The iteration in progress.
    uint32_t instructions_ = 0;
    bool only_registers_ = true;
    bool registers_known_ = true;
    uint16_t live_in_ = 0;
    uint16_t written_ = 0;
    uint32_t writes_ = 0;
    uint32_t other_reads_ = 0;         // of registers that change only at events
    uint64_t other_reads_hash_ = 0;    // of their addresses and values, in order
    bool other_counter_read_ = false;  // a counter other than the cycle counter
    uint32_t counter_reads_ = 0;
    uint32_t counter_value_ = 0;
    Picos counter_read_at_ = 0;
    uint64_t last_reads_hash_ = 0;

    // The iteration just completed.
    Picos iteration_time_ = 0;
    uint32_t iteration_instructions_ = 0;
    uint16_t iteration_live_in_ = 0;
    uint32_t iteration_counter_reads_ = 0;
    uint32_t iteration_other_reads_ = 0;
    uint64_t iteration_reads_hash_ = 0;
    Picos iteration_counter_read_at_ = 0;
};

}  // namespace sim::cpu
