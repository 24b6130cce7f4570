// The Cortex-M exception model on the engine: the 8-word frame stacked and unstacked as the core does
// it, EXC_RETURN, entry through the stub into the handler, short handlers worked out without the engine
// (ShortHandler), and faults escalated to HardFault (this firmware enables no configurable fault
// handler) or to lockup, with the reason kept for the halt once the HardFault handler settles.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "block_observer.h"
#include "chip.h"
#include "core_engine.h"
#include "interrupt_landings.h"
#include "run_state.h"
#include "short_handler.h"

namespace sim::cpu {

class ExceptionModel {
public:
    // `short_handlers`: take an exception whose handler is a ShortHandler without the engine (the same
    // timing either way, faster).
    // `landings`, when given, records the boundary at which each interrupt is taken.
    ExceptionModel(CoreEngine& engine, Chip& chip, RunState& state, bool short_handlers,
                   InterruptLandings* landings = nullptr);

    // The registers an exception stacks, as they stand (one batch from the engine).
    struct Frame {
        uint32_t r0, r1, r2, r3, r12, lr, sp, xpsr;
    };
    Frame read_frame() const;

    // Enters `exception`'s handler on the engine, returning to `return_address`. A vector that is no
    // Thumb address, or a frame that falls outside RAM, ends in a fault or a lockup instead.
    void enter(int exception, uint32_t return_address);
    // Takes `exception` without the engine when its handler is a ShortHandler and no event falls due
    // while it runs: the core's registers come out of it as they went in. False, with nothing changed
    // but the stacked frame (which the engine's entry writes the same), when it cannot.
    bool take_short(int exception, uint32_t return_address, const Frame& frame);
    // At an instruction boundary before `return_address`: takes what is pending and may be taken under
    // the core's PRIMASK, short handlers without the engine (each leaves the core as it found it, so the
    // next may follow at once), the first other one entered on the engine. True when one was entered (its
    // handler runs next) or the run ended; false when the code at `return_address` runs on.
    // `engine_only`: the code at `return_address` holds a STREX, which must fail after the exception:
    // only the engine's entry (its stub clears the exclusive monitor) will do.
    bool take_pending(uint32_t return_address, bool engine_only = false);
    // The handler returned to an EXC_RETURN value (the engine's exception exit).
    void return_from_exception();

    // A fault escalates to HardFault, which runs the image's own handler; inside it, a fault is a lockup.
    void fault(const std::string& what, uint32_t pc);
    // At a block start inside HardFault: once the handler repeats a block with no bus access in between,
    // it loops for ever and the run ends with the fault's reason.
    void watch_fault_handler(uint32_t address);

    // The core's reset: no fault recorded.
    void reset() { fault_reason_.clear(); }
    // Who hears of each exception's entry and return (nullptr: no one).
    void observe(BlockObserver* observer) { observer_ = observer; }
    // Code the debugger changed: handlers are decoded again at their next taking.
    void forget_handlers() { short_handlers_.clear(); }

private:
    // Stacks `frame` for `exception` returning to `return_address`: the frame's address, or nothing
    // (and the run halted in lockup) when it falls outside RAM.
    std::optional<uint32_t> stack(const Frame& frame, int exception, uint32_t return_address);
    const ShortHandler* short_handler(int exception);
    // The vector table's entry for `exception`, as VTOR places it (0 outside the core's memories).
    uint32_t vector_of(int exception) const;

    CoreEngine& engine_;
    Chip& chip_;
    RunState& state_;
    bool short_handlers_enabled_;
    InterruptLandings* landings_;
    // Handlers decoded at their first taking, by vector (nullopt: not a short one).
    std::vector<std::pair<uint32_t, std::optional<ShortHandler>>> short_handlers_;
    std::string fault_reason_;       // why HardFault was entered
    uint32_t last_fault_block_ = 0;  // the handler's last block, and the bus accesses made by then
    uint64_t last_fault_accesses_ = 0;
    BlockObserver* observer_ = nullptr;
};

}  // namespace sim::cpu
