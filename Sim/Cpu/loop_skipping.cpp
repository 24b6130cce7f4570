#include "loop_skipping.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "hex_text.h"

namespace sim::cpu {

namespace {

constexpr size_t kKnownWaits = 16;
// A counter wait is assumed to leave once the counter passes a mark, within half the counter's range.
constexpr uint32_t kHalfRange = 0x80000000U;

// One iteration of a loop tried ahead of time, with the engine routed here instead of to the run. It
// stops when the iteration comes round to the head or leaves the loop; the cycle counter reads the value
// the iteration would read; anything else (another register, a write to the chip, an engine exception,
// an invalid access) is something a waiting loop does not do, and spoils the try.
class ProbePath final : public EngineEvents, public EngineBus {
public:
    ProbePath(CoreEngine& engine, const WaitLoop& loop, uint32_t counter)
        : engine_(engine), loop_(loop), counter_(counter)
    {}

    void on_block(uint32_t address, uint32_t) override
    {
        if (!started_) {
            started_ = true;
            return;
        }
        bool in_loop = false;
        for (uint32_t block : loop_.blocks) in_loop = in_loop || block == address;
        if (address == loop_.head || !in_loop) {
            exited_ = !in_loop;
            engine_.stop();
        }
    }
    void on_interrupt(uint32_t) override { spoil(); }
    bool on_invalid_access(bool, bool, uint32_t, unsigned) override
    {
        spoiled_ = true;
        return false;
    }
    uint64_t on_bus_read(uint32_t address, unsigned) override
    {
        if (address == kCycleCounterAddress) return counter_;
        spoil();
        return 0;
    }
    void on_bus_write(uint32_t, unsigned, uint32_t) override { spoil(); }

    // Whether the iteration left the loop, or did something that counts as leaving it, the engine
    // having stopped with `err`.
    bool exits(uc_err err) const { return err != UC_ERR_OK || exited_ || spoiled_ || !started_; }

private:
    void spoil()
    {
        spoiled_ = true;
        engine_.stop();
    }

    CoreEngine& engine_;
    const WaitLoop& loop_;
    uint32_t counter_;
    bool started_ = false;
    bool exited_ = false;
    bool spoiled_ = false;
};

}  // namespace

LoopSkipper::LoopSkipper(CoreEngine& engine, Chip& chip, RunState& state, ExceptionModel& exceptions)
    : engine_(engine), chip_(chip), state_(state), exceptions_(exceptions)
{
    if (uc_err err = uc_context_alloc(engine_.uc(), &probe_context_); err != UC_ERR_OK)
        throw std::runtime_error(std::string("unicorn: allocate a context: ") + uc_strerror(err));
}

LoopSkipper::~LoopSkipper()
{
    uc_context_free(probe_context_);
}

bool LoopSkipper::at_loop_head()
{
    HeadState state = head_state();
    std::optional<WaitLoop> loop = state_.watch().at_head(state);
    if (!loop) return true;
    switch (jump_in_place(*loop, state)) {
        case InPlace::Runs:
            return true;
        case InPlace::Probe:
            // Finding where it ends takes trying iterations ahead of time, with the engine: stop before
            // the head runs again; the run jumps and resumes here.
            pending_ = std::move(loop);
            pending_state_ = state;
            engine_.stop();
            return false;
        case InPlace::Entered:
            return false;
    }
    return true;
}

void LoopSkipper::skip_pending()
{
    WaitLoop loop = std::move(*pending_);
    pending_.reset();
    try {
        skip_with_probes(loop, pending_state_);
    } catch (const std::exception& error) {
        state_.end_run(state_.end_of(error));
    }
}

HeadState LoopSkipper::head_state() const
{
    static int registers[16] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                UC_ARM_REG_R8,  UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,  UC_ARM_REG_XPSR};
    HeadState state;
    void* values[16];
    for (size_t r = 0; r < state.registers.size(); ++r) values[r] = &state.registers[r];
    values[15] = &state.flags;
    uc_reg_read_batch(engine_.uc(), registers, values, 16);
    state.flags &= 0xF80F0000U;  // N Z C V Q and GE
    return state;
}

// Whole iterations that end before the next event and before the time limit.
uint64_t LoopSkipper::iterations_before_horizon(const WaitLoop& loop) const
{
    Picos now = chip_.now();
    Picos horizon = std::min(chip_.scheduler().next_time(), state_.limit());
    if (state_.owes_time() || horizon <= now) return 0;
    return (horizon - now - 1) / loop.iteration_time;
}

void LoopSkipper::jump(const WaitLoop& loop, uint64_t iterations)
{
    if (iterations == 0) return;
    ++state_.counts().skips;
    chip_.run_until(chip_.now() + iterations * loop.iteration_time);  // nothing is due before the horizon
    state_.count_skipped(iterations * loop.instructions);
}

// From inside the engine (no iteration to try): a wait for an event, or a counter wait known to go on
// past the horizon. Probe when the counter wait may end before the horizon.
LoopSkipper::InPlace LoopSkipper::jump_in_place(const WaitLoop& loop, const HeadState& state)
{
    if (!loop.reads_counter) halt_if_stuck(loop);
    uint64_t most = iterations_before_horizon(loop);
    if (most == 0) return InPlace::Runs;
    if (!loop.reads_counter) {
        jump(loop, most);
        return InPlace::Runs;
    }
    const KnownWait* known = find_known(loop, state);
    if (known == nullptr) return InPlace::Probe;
    uint32_t ahead = known->last_staying - loop.last_counter;
    if (ahead >= kHalfRange) return InPlace::Probe;
    uint64_t staying = ahead / loop.counter_step;  // iterations 0 .. staying-1 read no more than that
    if (staying > most && loop.blocks.size() == 1) return park(loop, *known);
    if (staying >= most) {
        jump(loop, most);
        return InPlace::Runs;
    }
    // Iteration `staying` reads past the highest staying value: it leaves if it reads the lowest
    // leaving value or more; between the two it must be tried.
    uint32_t read = loop.last_counter + static_cast<uint32_t>((staying + 1) * loop.counter_step);
    if (!known->first_leaving || read - *known->first_leaving >= kHalfRange) return InPlace::Probe;
    jump(loop, staying);
    return InPlace::Runs;
}

// A counter wait known to go on past the next event (the main loop's pause of seconds, on the cycle
// counter, with the 1 kHz tick in it): the iterations pass event by event without the engine, the one
// that crosses an event included, and each exception they pend is taken at the head as the engine
// would take it there, short ones without the engine too. The value an iteration reads follows from its
// time (the counter counts core cycles), so the loop stays parked until an iteration might read past
// the highest value known to keep it waiting, or an exception needs the engine.
LoopSkipper::InPlace LoopSkipper::park(const WaitLoop& loop, const KnownWait& known)
{
    const Picos period = state_.cycle_period();
    // The last iteration (whose head was one iteration ago) read loop.last_counter.
    const Picos read_base_time = chip_.now() - loop.iteration_time;
    const uint32_t step = loop.counter_step;
    // The counter counts core cycles: an iteration's gain is its length in cycles, or this is some other count.
    if (uint64_t{step} * period != loop.iteration_time) return InPlace::Runs;
    for (;;) {
        const Picos now = chip_.now();
        if (state_.cycle_period() != period) return InPlace::Runs;
        if (chip_.reset_pending()) return InPlace::Runs;  // the run loop resets the core at the next block
        const uint32_t next_read = loop.last_counter + static_cast<uint32_t>((now - read_base_time) / period);
        const uint32_t ahead = known.last_staying - next_read;
        if (ahead >= kHalfRange) return InPlace::Runs;
        const uint64_t staying = ahead / step + 1;  // iterations from here that read no more than that
        const uint64_t most = iterations_before_horizon(loop);
        if (staying <= most) {
            jump(loop, staying);
            return InPlace::Runs;
        }
        jump(loop, most);
        // The iteration that crosses the horizon stays too (unless the run ends inside it: the engine runs
        // that one).
        if (chip_.now() + loop.iteration_time >= state_.limit()) return InPlace::Runs;
        pass_iteration(loop);
        if (exceptions_.take_pending(loop.head)) return InPlace::Entered;
    }
}

// One iteration of a one-block loop that reads the cycle counter, timed as the engine times it: the
// read through the chip at its instruction's time in the iteration (so that an event due during the
// access runs at its end, as on the engine; the board's stimuli start from the chip's time then), the
// rest of the iteration up to the next head, an exception it pends taken at the head.
void LoopSkipper::pass_iteration(const WaitLoop& loop)
{
    const Picos head = chip_.now();  // nothing owed: iterations_before_horizon() said so
    chip_.run_until(head + loop.counter_read_at);
    chip_.read(kCycleCounterAddress, 4);
    chip_.run_until(head + loop.iteration_time);
    state_.count_skipped(loop.instructions);
}

// A wait for an event that nothing can end stops the node, judged by the chip as the host build's waits
// are (throws the chip's Stop, which the block hook turns into the run's end).
void LoopSkipper::halt_if_stuck(const WaitLoop& loop)
{
    chip_.exceptions().set_primask(engine_.reg(UC_ARM_REG_PRIMASK) & 1U);
    chip_.halt_if_stuck("at pc " + hex_text(loop.head) + " on " + (loop.reads_registers ? "registers" : "memory"),
                        !loop.reads_registers, chip_.now());
}

// A counter wait: iterations are tried ahead of time, with the counter value each would read, doubling
// the distance until one leaves, then halving the gap to the first that leaves. The highest value known
// to keep the loop waiting is remembered for the next visit.
void LoopSkipper::skip_with_probes(const WaitLoop& loop, const HeadState& state)
{
    uint64_t most = iterations_before_horizon(loop);
    if (most == 0 || probe_exits(loop, 0)) return;
    const uint64_t reach = std::max<uint64_t>(1, (kHalfRange - 1) / loop.counter_step - 1);
    uint64_t staying = 0;  // an iteration known to stay in the loop
    uint64_t leaving = 0;  // one known to leave it (0: none found)
    for (uint64_t k = std::min(std::max<uint64_t>(most, 1), reach);; k = std::min(k * 2, reach)) {
        if (probe_exits(loop, k)) {
            leaving = k;
            break;
        }
        staying = k;
        if (k == reach) break;
    }
    if (leaving != 0) {
        while (leaving - staying > 1) {
            uint64_t middle = staying + (leaving - staying) / 2;
            (probe_exits(loop, middle) ? leaving : staying) = middle;
        }
    }
    auto value_read = [&](uint64_t iteration) {
        return loop.last_counter + static_cast<uint32_t>((iteration + 1) * loop.counter_step);
    };
    remember(loop, state, value_read(staying),
             leaving != 0 ? std::optional<uint32_t>(value_read(leaving)) : std::nullopt);
    jump(loop, std::min(leaving != 0 ? leaving : most, most));
}

const LoopSkipper::KnownWait* LoopSkipper::find_known(const WaitLoop& loop, const HeadState& state) const
{
    for (const KnownWait& known : known_waits_) {
        if (known.head != loop.head || known.live_in != loop.live_in || known.step != loop.counter_step ||
            known.state.flags != state.flags)
            continue;
        bool same = true;
        for (size_t r = 0; r < state.registers.size() && same; ++r)
            same = !((loop.live_in >> r) & 1U) || known.state.registers[r] == state.registers[r];
        if (same) return &known;
    }
    return nullptr;
}

void LoopSkipper::remember(const WaitLoop& loop, const HeadState& state, uint32_t last_staying,
                           std::optional<uint32_t> first_leaving)
{
    KnownWait known{loop.head, loop.live_in, loop.counter_step, state, last_staying, first_leaving};
    if (const KnownWait* existing = find_known(loop, state)) {
        KnownWait& entry = known_waits_[static_cast<size_t>(existing - known_waits_.data())];
        // Keep the tighter bounds: the highest staying value, the lowest leaving one.
        if (last_staying - entry.last_staying < kHalfRange) entry.last_staying = last_staying;
        if (first_leaving && (!entry.first_leaving || *entry.first_leaving - *first_leaving < kHalfRange))
            entry.first_leaving = first_leaving;
        return;
    }
    if (known_waits_.size() < kKnownWaits) {
        known_waits_.push_back(known);
    } else {
        known_waits_[next_known_] = known;
        next_known_ = (next_known_ + 1) % kKnownWaits;
    }
}

// Runs iteration `iteration` from now of `loop` ahead of time, with the counter value it would read
// then, and puts the core back as it was (the iteration stores nothing). Anything unexpected counts as
// leaving the loop, so that a jump stops short of it.
bool LoopSkipper::probe_exits(const WaitLoop& loop, uint64_t iteration)
{
    ++state_.counts().probes;
    uc_context_save(engine_.uc(), probe_context_);
    ProbePath probe(engine_, loop, loop.last_counter + static_cast<uint32_t>((iteration + 1) * loop.counter_step));
    uc_err err;
    {
        CoreEngine::Reroute to_probe(engine_, probe, probe);
        err = engine_.start(loop.head);
    }
    uc_context_restore(engine_.uc(), probe_context_);
    return probe.exits(err);
}

}  // namespace sim::cpu
