// Where the image spends its cycles, by call stack, as it runs (a BlockObserver on the image runner):
// the cycles between two block starts belong to the stack that ran the first block, whatever they were
// spent on (instructions, bus wait states, a wait loop the runner jumped over, a sleep in WFI), so that
// the stacks' cycles add up to the run's.
//
// The call stack is rebuilt from what the core does:
//   call       a block reached by a branch that set LR to the end of the block before (BL, BLX): the
//              target's function goes on the stack, with that return address and the stack pointer
//   return     a block at a frame's return address with the stack pointer back where the call left it:
//              that frame and all above it come off
//   branch     another function's code reached otherwise (a tail call, a fall-through into the next
//              function, code shared between functions): it goes on top of its caller and comes off with
//              it; a second such branch takes the place of the first
//   exception  the handler on top of whatever it interrupted, off again at its return
// A block at a frame's return address with another stack pointer is taken as that return all the same,
// and counted (resyncs()): a sign that the rules misread a frame.
//
// The core's reset (the reset vector's code reached with the initial stack pointer) starts the stack
// afresh; the calls it cut short are not timed.
//
// It also keeps the lowest stack pointer seen at a block start (a push undone within one block is not
// seen), and the cycles of each call of the functions it is asked to time.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "block_observer.h"
#include "function_table.h"

namespace sim::cpu {

class CycleProfiler final : public BlockObserver {
public:
    // `now`: the chip's core cycles when the profile starts (its cycles are counted from there).
    CycleProfiler(const ElfImage& image, Cycles now);

    // Times each call of `function` (an index of functions()) from its first block start to the block
    // start after its return: inclusive of its callees and of the interrupts taken meanwhile.
    void time_calls(int function);
    // The run ended at `now`: the cycles since the last block start go to the stack that was running.
    void finish(Cycles now);

    const FunctionTable& functions() const { return functions_; }
    // Cycles by call stack, outermost function first, for the stacks that spent any.
    std::map<std::vector<int>, uint64_t> stacks() const;
    // The same as folded stacks ("Reset_Handler;main;DS18b20_temp 12345" a line), as FlameGraph and
    // speedscope read them; ';' in a name is written ':'.
    void write_folded(std::ostream& out) const;
    uint64_t total_cycles() const { return total_; }
    // The cycles of each completed call of a timed function, in order (a call still open at the end is
    // left out).
    const std::vector<uint64_t>& calls_of(int function) const;
    uint32_t lowest_sp() const { return lowest_sp_; }
    uint64_t resyncs() const { return resyncs_; }  // returns matched by their address alone

    // BlockObserver
    void block_start(uint32_t address, uint32_t size, uint32_t sp, uint32_t lr, Cycles now) override;
    void exception_entry(int exception, uint32_t handler, Cycles now) override;
    void exception_return() override;
    void short_exception(int exception, uint32_t handler, Cycles from, Cycles to) override;

private:
    struct Frame {
        int function;
        uint32_t node;            // where the stack up to here keeps its cycles
        uint32_t return_address;  // 0: none to match (an exception, a tail call, the bottom)
        uint32_t sp;              // the stack pointer at the call
        bool exception;           // an exception's handler, off at its return
        uint64_t entered;         // the profile's cycle count at its entry
    };
    // A node of the call tree: one call stack.
    struct Node {
        uint32_t parent;
        int function;
        uint64_t cycles = 0;
        std::vector<uint32_t> children;
    };

    void charge(Cycles now);
    void push(int function, uint32_t return_address, uint32_t sp, bool exception);
    void pop();
    void pop_exception();
    // The frame, from the top down to the innermost handler, that returns to `address` (with `sp`
    // unless `any_sp`): its index, or -1.
    int returning_frame(uint32_t address, uint32_t sp, bool any_sp) const;
    uint32_t child(uint32_t node, int function);

    FunctionTable functions_;
    std::vector<Node> nodes_;  // node 0: no stack yet
    std::vector<Frame> stack_;
    uint64_t last_ = 0;   // the chip's core cycles at the last charge
    uint64_t total_ = 0;  // cycles charged since the profile started
    unsigned pending_returns_ = 0;
    bool previous_known_ = false;  // the block before was the last code run (no exception in between)
    uint32_t previous_end_ = 0;
    uint32_t reset_entry_ = 0;  // the reset vector (no Thumb bit) and the initial stack pointer
    uint32_t initial_sp_ = 0;
    uint32_t lowest_sp_ = UINT32_MAX;
    uint64_t resyncs_ = 0;
    std::map<int, std::vector<uint64_t>> timed_;
};

}  // namespace sim::cpu
