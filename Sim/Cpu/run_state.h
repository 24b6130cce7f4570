// The run in progress as the runner's parts share it: the core's time against the chip's (what it has
// run and not yet charged), the run's end once something decides it, what the run counted, the block
// running now and the loop being watched for a wait. The run's end itself (the time limit) is the
// chip's scheduler's, kept there alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "block_cache.h"
#include "chip.h"
#include "core_engine.h"
#include "flash_timing.h"
#include "instruction_timing.h"
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
    uint64_t splits = 0;            // blocks run up to an instruction boundary inside them, for an event due there
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

    // Time the core has run and not yet charged to the chip.
    void owe(Picos time) { owed_ += time; }
    void owe_cycles(uint64_t cycles) { owed_ += cycles * cycle_period(); }
    bool owes_time() const { return owed_ != 0; }

    // Moves the chip's time on by what the core has run since the last block boundary (events run and
    // interrupts become pending on the way). False when the run must stop here.
    bool charge_owed_time()
    {
        const Picos now = chip_.now();
        const Picos until = limit();
        if (now + owed_ < until) {
            charge_all_owed();
            return true;
        }
        // The limit falls inside what is owed: stop there, and charge the rest when the run goes on.
        if (now < until) {
            owed_ = now + owed_ - until;
            chip_.run_until(until);
        }
        stop_at(RunEnd{RunEnd::Kind::TimeLimit, "time limit reached", chip_.now()});
        return false;
    }
    // Charges all that is owed, whatever the run's end (a skipped loop's iteration known to end before it).
    void charge_all_owed()
    {
        if (owed_ != 0) chip_.run_until(chip_.now() + owed_);
        owed_ = 0;
    }

    // Time inside a block. At its start (time charged up to it) the block's cycles are owed; an access
    // to the chip's registers then happens at its own instruction's cycle: time moves on to it first
    // (at_instruction), and the access's whole cost, as the chip charges it, takes the place of the
    // instruction's own cycles in the block's sum (after_access), so that what comes later in the
    // block moves by the bus's wait states.
    void begin_block(const BlockInfo& info, uint32_t end)
    {
        next_in_line_ = end;
        block_ = &info;
        block_start_ = chip_.now() + owed_;
        shift_ = 0;
        site_ = SIZE_MAX;
        owed_ += info.cycles * cycle_period();
        owed_ += flash_.begin(info.flash_reads, cycle_period(), chip_.flash.accelerator());
    }
    // A block run otherwise (a debugger's step): accesses happen where time stands.
    void begin_untimed_block() { block_ = nullptr; }
    const BlockInfo* block() const { return block_; }
    // The access site last matched in this block (accesses come in program order), or none (SIZE_MAX).
    size_t last_site() const { return site_; }
    void at_instruction(size_t site)
    {
        site_ = site;
        shift_ += flash_.until(block_->accesses[site].at);  // the flash's stalls before it
        const Picos target = block_start_ + block_->accesses[site].at * cycle_period() + shift_;
        const Picos now = chip_.now();
        if (target <= now) return;
        chip_.run_until(target);
        owed_ = owed_ > target - now ? owed_ - (target - now) : 0;
    }
    // The access by the instruction at `site` (or, with none found, one of the block's) started at
    // `started` and the chip has charged it.
    void after_access(Picos started, std::optional<size_t> site)
    {
        const Picos own =
            site ? block_->accesses[*site].own * cycle_period() : cycles_to_picos(timing::kPlainAccess, cycle_period());
        const Picos charged = chip_.now() - started;
        owed_ = owed_ > own ? owed_ - own : 0;
        shift_ += charged - own;  // modular: an access charged less than the instruction's sum moves it back
    }

    // P, the refill, when a block does not follow on from the last one (a branch taken, PC loaded): owed
    // before the block's time is charged. Exception entry and return fetch their own way (their figures
    // hold it): flow_broken() forgets where the last block ended.
    // Charged once: a block whose start is asked again (a run resumed there) pays no second refill.
    void follow(uint32_t address, const uint8_t* code)
    {
        if (next_in_line_ != kNoLine && address != next_in_line_) {
            uint16_t first = 0;
            std::memcpy(&first, code, 2);
            owed_ += timing::refill_cycles(address, first) * cycle_period();
        }
        next_in_line_ = kNoLine;
    }
    void flow_broken() { next_in_line_ = kNoLine; }

    // An interrupt at any instruction boundary. When the next event falls inside a block that is about
    // to run (and an interrupt could be taken), the block runs only up to the first instruction boundary
    // at or after the event's time: the engine is stopped before it, and started again to stop there.
    // Which boundary (none: the block's end will do) for `info` starting now.
    std::optional<BlockInfo::Boundary> boundary_for_next_event(const BlockInfo& info)
    {
        const Picos start = chip_.now() + owed_;
        const Picos next = chip_.scheduler().next_time();
        const Picos period = cycle_period();
        if (next >= start + info.cycles * period || next <= start) return std::nullopt;
        for (const BlockInfo::Boundary& b : info.boundaries)
            if (b.at != 0 && start + b.at * period >= next) return b;
        return std::nullopt;
    }
    void split_at(const BlockInfo::Boundary& boundary)
    {
        split_ = boundary;
        split_started_ = false;
    }
    void start_split() { split_started_ = true; }
    // A split asked for at a block start that the engine has not acted on yet: it may call the block
    // hook again first, and the block must not run before the split's own start.
    bool split_pending() const { return split_ && !split_started_; }
    // The engine's next start runs the block up to the boundary, where it stops.
    std::optional<BlockInfo::Boundary> split() const { return split_; }
    bool splitting() const { return split_.has_value(); }
    // The engine stopped at `pc`: at the boundary, what is owed is the block's time up to it; the rest
    // of the block follows on from there.
    void end_split(uint32_t pc)
    {
        if (split_ && pc == split_->pc && block_ != nullptr) {
            const Picos end = block_start_ + split_->at * cycle_period() + shift_;
            const Picos now = chip_.now();
            owed_ = end > now ? end - now : 0;
            next_in_line_ = pc;
        }
        split_.reset();
    }

    // The run's end, once something decided it.
    bool ended() const { return end_.has_value(); }
    const RunEnd& end() const { return *end_; }
    // A new run (or step) starts with no end decided.
    void begin_run() { end_.reset(); }
    // Decides the run's end; the caller stops the engine where it must (or it has stopped already).
    void end_run(RunEnd run_end) { end_ = std::move(run_end); }
    // Ends the run. Asked from a block start, the stop takes effect before the block's first
    // instruction, and the next run resumes at that block.
    void stop_at(RunEnd run_end)
    {
        end_ = std::move(run_end);
        engine_.stop();
    }
    // Ends the run in a halt; the caller stops the engine where it must.
    void halt(const std::string& reason) { end_ = RunEnd{RunEnd::Kind::Halt, reason, chip_.now()}; }
    // What an exception thrown from the chip (a Stop from an event, or a failure) means for the run.
    RunEnd end_of(const std::exception& error) const
    {
        if (const auto* stop = dynamic_cast<const Stop*>(&error)) return sim::end_of(*stop);
        return RunEnd{RunEnd::Kind::Failure, error.what(), chip_.now()};
    }

    // Instructions executed, counting those of skipped loop iterations, and of those the skipped ones.
    void count_executed(uint64_t instructions) { instructions_ += instructions; }
    void count_skipped(uint64_t instructions)
    {
        instructions_ += instructions;
        skipped_ += instructions;
    }
    uint64_t instructions() const { return instructions_; }
    uint64_t skipped() const { return skipped_; }
    RunnerCounts& counts() { return counts_; }
    const RunnerCounts& counts() const { return counts_; }

    WaitLoopWatch& watch() { return watch_; }

    // A debugger's single step in progress, and whether it has breakpoints set: either way the core runs
    // instruction by instruction, with no handler worked out in one go.
    void set_stepping(bool stepping) { stepping_ = stepping; }
    bool stepping() const { return stepping_; }
    void set_breakpoints(bool set) { breakpoints_set_ = set; }
    bool under_debugger() const { return stepping_ || breakpoints_set_; }

    // The block running now (the engine reports an invalid access with the block's start as its PC).
    void enter_block(uint32_t address, uint32_t size)
    {
        block_address_ = address;
        block_size_ = size;
    }
    uint32_t block_address() const { return block_address_; }
    uint32_t block_size() const { return block_size_; }

    // The core's reset: nothing owed, no end decided, no loop watched, no block in progress.
    void reset()
    {
        owed_ = 0;
        end_.reset();
        watch_.forget();
        block_ = nullptr;
        next_in_line_ = kNoLine;
        split_.reset();
        split_started_ = false;
    }

private:
    Chip& chip_;
    CoreEngine& engine_;
    uint32_t period_hclk_ = 0;
    Picos period_ = 0;
    Picos owed_ = 0;
    // The block in progress: its timing, the chip's time at its start, how far its accesses' wait
    // states have moved the rest of it, and the access site last matched.
    const BlockInfo* block_ = nullptr;
    Picos block_start_ = 0;
    Picos shift_ = 0;
    size_t site_ = SIZE_MAX;
    FlashStalls flash_;
    static constexpr uint32_t kNoLine = 1;      // odd: no block starts there
    uint32_t next_in_line_ = kNoLine;           // where the last block ended
    std::optional<BlockInfo::Boundary> split_;  // a block run up to this boundary
    bool split_started_ = false;
    std::optional<RunEnd> end_;
    uint64_t instructions_ = 0;
    uint64_t skipped_ = 0;
    RunnerCounts counts_;
    WaitLoopWatch watch_;
    bool stepping_ = false;
    bool breakpoints_set_ = false;
    uint32_t block_address_ = 0;
    uint32_t block_size_ = 0;
};

}  // namespace sim::cpu
