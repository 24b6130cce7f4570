// The run in progress as the runner's parts share it: the core's time against the chip's (what it has
// run and not yet charged), the run's end once something decides it, what the run counted, the block
// running now and the loop being watched for a wait. The run's end itself (the time limit) is the
// chip's scheduler's, kept there alone.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "chip.h"
#include "core_engine.h"
#include "cost_model.h"
#include "run_end.h"
#include "sim_time.h"
#include "wait_loop.h"

namespace sim::cpu {

// What the core did, for a run's statistics.
struct RunnerCounts {
    uint64_t blocks = 0;      // block starts seen
    uint64_t exceptions = 0;  // exception entries
    uint64_t skips = 0;       // waiting loops jumped over
    uint64_t probes = 0;      // iterations tried ahead of time to find a loop's exit
    uint64_t engine_starts = 0;
    uint64_t short_exceptions = 0;  // of the exceptions, those worked out without the engine (ShortHandler)
};

class RunState {
public:
    RunState(Chip& chip, CoreEngine& engine) : chip_(chip), engine_(engine) {}
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;

    // Where the run ends, absolute since reset.
    Picos limit() const { return chip_.scheduler().limit(); }

    // One core cycle at the present HCLK (worked out again only when HCLK changes).
    Picos cycle_period()
    {
        uint32_t hclk = chip_.clocks().now().hclk;
        if (hclk != period_hclk_) {
            period_hclk_ = hclk;
            period_ = period_of(hclk);
        }
        return period_;
    }

    // Moves the chip's time on by what the core has run since the last block boundary (events run and
    // interrupts become pending on the way). False when the run must stop here.
    bool charge_owed_time()
    {
        const Picos now = chip_.now();
        const Picos until = limit();
        if (now + owed < until) {
            if (owed != 0) chip_.run_until(now + owed);
            owed = 0;
            return true;
        }
        // The limit falls inside what is owed: stop there, and charge the rest when the run goes on.
        if (now < until) {
            owed = now + owed - until;
            chip_.run_until(until);
        }
        stop_at(RunEnd{RunEnd::Kind::TimeLimit, "time limit reached", chip_.now()});
        return false;
    }

    // The chip charged a bus access its whole cost, which includes the issue cycle that the block's
    // instruction count already holds: give that cycle back. (It is owed, not yet charged: the block's
    // instructions, this one among them, were added to `owed` at the block's start.)
    void credit_access_issue()
    {
        const Picos issue = cycles_to_picos(cost::kAccessIssue, cycle_period());
        owed = owed > issue ? owed - issue : 0;
    }

    // Ends the run. Asked from a block start, the stop takes effect before the block's first
    // instruction, and the next run resumes at that block.
    void stop_at(RunEnd run_end)
    {
        end = std::move(run_end);
        engine_.stop();
    }
    // Ends the run in a halt; the caller stops the engine where it must.
    void halt(const std::string& reason) { end = RunEnd{RunEnd::Kind::Halt, reason, chip_.now()}; }
    // What an exception thrown from the chip (a Stop from an event, or a failure) means for the run.
    RunEnd end_of(const std::exception& error) const
    {
        if (const auto* stop = dynamic_cast<const Stop*>(&error)) return sim::end_of(*stop);
        return RunEnd{RunEnd::Kind::Failure, error.what(), chip_.now()};
    }

    Picos owed = 0;  // time of instructions run and not yet charged to the chip
    std::optional<RunEnd> end;
    uint64_t instructions = 0;  // executed, counting those of skipped loop iterations
    uint64_t skipped = 0;       // of those, the skipped ones
    RunnerCounts counts;
    WaitLoopWatch watch;
    // A debugger's single step in progress, and whether it has breakpoints set: either way the core runs
    // instruction by instruction, with no handler worked out in one go.
    bool stepping = false;
    bool breakpoints_set = false;
    // The block running now (the engine reports an invalid access with the block's start as its PC).
    uint32_t block_address = 0;
    uint32_t block_size = 0;

private:
    Chip& chip_;
    CoreEngine& engine_;
    uint32_t period_hclk_ = 0;
    Picos period_ = 0;
};

}  // namespace sim::cpu
