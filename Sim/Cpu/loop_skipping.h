// Jumping over waiting loops (recognised by WaitLoopWatch) without changing any timing: the core stands
// at the loop's head with all time charged; the iterations jumped would have changed nothing, so the run
// goes on exactly as if it had run them. A wait on the cycle counter whose end is not known yet is found
// by trying iterations ahead of time on the engine, rerouted to a probe of its own for that, and put back.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "chip.h"
#include "core_engine.h"
#include "core_exceptions.h"
#include "run_state.h"
#include "wait_loop.h"

namespace sim::cpu {

class LoopSkipper {
public:
    LoopSkipper(CoreEngine& engine, Chip& chip, RunState& state, ExceptionModel& exceptions);
    ~LoopSkipper();
    LoopSkipper(const LoopSkipper&) = delete;
    LoopSkipper& operator=(const LoopSkipper&) = delete;

    // At a block start that the watch reported as a loop's head (inside the engine's block hook): jumps
    // over what iterations it can. False when the block must not run now: an exception was entered at
    // the head instead, or the engine was stopped so that skip_pending() tries iterations ahead of time.
    bool at_loop_head();
    // Whether skip_pending() has a loop to do, once the engine has stopped.
    bool pending() const { return pending_.has_value(); }
    // The core was reset: the loop found is no more.
    void forget() { pending_.reset(); }
    // Finds where the pending loop ends by trying iterations, and jumps there; the run resumes at its head.
    void skip_pending();

private:
    HeadState head_state() const;
    uint64_t iterations_before_horizon(const WaitLoop& loop) const;
    void jump(const WaitLoop& loop, uint64_t iterations);
    // What jumping over a loop from inside the engine came to: the head's block runs next, the
    // iterations must be tried ahead of time first, or an exception was entered at the head instead.
    enum class InPlace { Runs, Probe, Entered };
    InPlace jump_in_place(const WaitLoop& loop, const HeadState& state);
    struct KnownWait;
    InPlace park(const WaitLoop& loop, const KnownWait& known);
    void pass_iteration(const WaitLoop& loop);
    void halt_if_stuck(const WaitLoop& loop);
    void skip_with_probes(const WaitLoop& loop, const HeadState& state);
    bool probe_exits(const WaitLoop& loop, uint64_t iteration);

    // A wait on the cycle counter seen before (the same loop, the same registers it depends on), with
    // the highest counter value known to keep it waiting and the lowest known to end it: later visits
    // jump without trying iterations unless their iteration reads between the two.
    struct KnownWait {
        uint32_t head = 0;
        uint16_t live_in = 0;
        uint32_t step = 0;
        HeadState state;
        uint32_t last_staying = 0;
        std::optional<uint32_t> first_leaving;
    };
    const KnownWait* find_known(const WaitLoop& loop, const HeadState& state) const;
    void remember(const WaitLoop& loop, const HeadState& state, uint32_t last_staying,
                  std::optional<uint32_t> first_leaving);

    CoreEngine& engine_;
    Chip& chip_;
    RunState& state_;
    ExceptionModel& exceptions_;
    std::vector<KnownWait> known_waits_;
    size_t next_known_ = 0;
    std::optional<WaitLoop> pending_;
    HeadState pending_state_;
    uc_context* probe_context_ = nullptr;  // the core as it stood before an iteration was tried
};

}  // namespace sim::cpu
