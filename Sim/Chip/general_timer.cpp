#include "general_timer.h"

#include <algorithm>
#include <cstdio>

namespace sim {

using namespace tim_reg;

namespace {

constexpr uint32_t kInterruptFlags = kUif | kCcFlags | kTif;

// Features stored but not modelled, each reported once.
enum Unmodelled : uint32_t {
    kOnePulse = 1U << 0,
    kDownCounting = 1U << 1,
    kCentreAligned = 1U << 2,
    kSlaveClock = 1U << 3,
    kMatchMode = 1U << 4,
};

}  // namespace

GeneralTimer::GeneralTimer(ChipContext& chip, const soc::Block& block)
    : Peripheral(block),
      chip_(chip),
      irq_(block.irq()),
      regs_(*this, *this, register_table(), chip.log()),
      cr1_(regs_.at(kCr1)),
      cr2_(regs_.at(kCr2)),
      smcr_(regs_.at(kSmcr)),
      dier_(regs_.at(kDier)),
      sr_(regs_.at(kSr)),
      ccer_(regs_.at(kCcer)),
      psc_(regs_.at(kPsc)),
      arr_(regs_.at(kArr)),
      ccmr_(&regs_.at(kCcmr1)),
      ccr_(&regs_.at(kCcr1)),
      event_timer_(chip.scheduler(), [this](Picos at) { on_event(at); })
{
    reset();
    // A new APB1 timer clock changes the tick length from now on; the count reached so far stays.
    chip_.clocks().on_change([this](const Clocks& before, const Clocks& after) {
        if (before.tim_apb1 == after.tim_apb1) return;
        Picos t = now();
        sync_flags(t);
        Segment s = current();
        s.c0 = counter();
        s.t0 = t;
        s.tick = tick_for(psc_active_);
        commit(s, t);
        recompute_interrupt();
        reschedule();
    });
}

void GeneralTimer::reset()
{
    event_timer_.cancel();
    next_update_at_ = kNever;
    regs_.reset();  // with ARR 0 the counter is blocked until a reload value is set
    psc_active_ = 0;
    ccr_active_ = {};
    history_.clear();
    Segment s;
    s.start = s.t0 = now();
    s.tick = tick_for(0);
    history_.push_back(s);
    flags_synced_ = now();
    logged_ = 0;
    // The output stops: a measured waveform before the reset ends here.
    if (const PwmShape shape = pwm_shape(); !(shape == shape_)) {
        shape_ = shape;
        for (auto& listener : shape_listeners_) listener(shape, now());
    }
    line_ = false;
    chip_.exceptions().set_line(irq_, false);
}

// ---------------------------------------------------------------------------------------------------
// The counter and the output as functions of time.

Ticks GeneralTimer::ticks_at(const Segment& s, Picos t)
{
    return t <= s.t0 ? Ticks(0) : picos_to_ticks(t - s.t0, s.tick);
}

// Ticks from the anchor to the first overflow: up to ARR, or, from above ARR, round through 2^32 first.
Ticks GeneralTimer::first_overflow(const Segment& s)
{
    return Ticks(static_cast<uint64_t>(static_cast<uint32_t>(s.arr - s.c0)) + 1U);
}

uint32_t GeneralTimer::counter_at_tick(const Segment& s, Ticks e)
{
    if (!s.counting) return s.c0;
    const Ticks first = first_overflow(s);
    if (e < first) return static_cast<uint32_t>(s.c0 + count_of(e));
    return static_cast<uint32_t>(count_of((e - first) % period_ticks(s)));
}

// The first tick after `after` at which the counter takes `value`.
Ticks GeneralTimer::next_entry(const Segment& s, uint32_t value, Ticks after)
{
    if (!s.counting) return kNone;
    const Ticks first = first_overflow(s);
    const auto early = Ticks(static_cast<uint32_t>(value - s.c0));  // before the first overflow
    if (early >= Ticks(1) && early < first && early > after) return early;
    if (value > s.arr) return kNone;
    const Ticks period = period_ticks(s);
    const Ticks base = first + Ticks(value);
    if (after < base) return base;
    return base + ((after - base) / period + 1U) * period;
}

// The first overflow (update) tick after `after`.
Ticks GeneralTimer::next_update(const Segment& s, Ticks after)
{
    if (!s.counting) return kNone;
    const Ticks first = first_overflow(s);
    const Ticks period = period_ticks(s);
    if (after < first) return first;
    return first + ((after - first) / period + 1U) * period;
}

int GeneralTimer::output_of(const Segment& s, uint32_t count)
{
    if (!s.enabled) return 0;  // CC1E off: the channel's output stage is off and A0's AF output is 0
    int ref;
    switch (s.ocm) {
        case OutputMode::ForcedActive:
            ref = 1;
            break;
        case OutputMode::Pwm1:
            ref = count < s.ccr ? 1 : 0;
            break;
        case OutputMode::Pwm2:
            ref = count < s.ccr ? 0 : 1;
            break;
        default:
            ref = 0;
            break;  // frozen, forced inactive, match modes (not modelled)
    }
    return s.inverted ? 1 - ref : ref;
}

int GeneralTimer::level_at(const Segment& s, Picos t)
{
    return output_of(s, counter_at_tick(s, ticks_at(s, t)));
}

int GeneralTimer::output_level(Picos t) const
{
    return level_at(current(), t);
}

uint32_t GeneralTimer::counter() const
{
    const Segment& s = current();
    return counter_at_tick(s, ticks_at(s, now()));
}

PwmShape GeneralTimer::pwm_shape() const
{
    const Segment& s = current();
    if (!s.counting) return {};
    uint64_t period = static_cast<uint64_t>(s.arr) + 1U;
    uint64_t below = std::min<uint64_t>(s.ccr, period);  // ticks per period with CNT < CCR1
    uint64_t active;
    switch (s.ocm) {
        case OutputMode::ForcedActive:
            active = period;
            break;
        case OutputMode::Pwm1:
            active = below;
            break;
        case OutputMode::Pwm2:
            active = period - below;
            break;
        default:
            active = 0;
            break;
    }
    uint64_t high = !s.enabled ? 0 : (s.inverted ? period - active : active);
    return {period * s.tick, high * s.tick};
}

void GeneralTimer::edges(Picos from, Picos to, const EdgeSink& sink) const
{
    if (to <= from || history_.empty()) return;
    auto starts_after = [](Picos t, const Segment& s) { return t < s.start; };
    auto containing = [&](Picos t) -> size_t {  // index of the segment in force at t (0 if before all)
        auto it = std::upper_bound(history_.begin(), history_.end(), t, starts_after);
        return it == history_.begin() ? 0 : static_cast<size_t>(it - history_.begin()) - 1U;
    };

    // The level just before `from`, so that a change exactly at `from` counts as an edge.
    int last;
    if (from <= history_.front().start)
        last = from == 0 ? 0 : level_at(history_.front(), history_.front().start);
    else
        last = level_at(history_[containing(from - 1)], from - 1);

    for (size_t i = containing(from); i < history_.size() && history_[i].start < to; ++i) {
        const Segment& s = history_[i];
        Picos lo = std::max(from, s.start);
        Picos hi = i + 1 < history_.size() ? std::min(to, history_[i + 1].start) : to;
        if (lo >= hi) continue;
        int level = level_at(s, lo);
        if (level != last) {
            sink(lo, level);
            last = level;
        }
        if (!s.counting || !s.enabled || !pwm_mode(s)) continue;  // constant within the segment
        // In PWM mode the output can change only where the counter wraps to 0 or reaches CCR1.
        Ticks after = ticks_at(s, lo);
        for (;;) {
            const Ticks e = std::min(next_entry(s, 0, after), next_entry(s, s.ccr, after));
            if (e == kNone) break;
            const Picos t = s.t0 + ticks_to_picos(e, s.tick);
            if (t >= hi) break;
            level = output_of(s, counter_at_tick(s, e));
            if (level != last) {
                sink(t, level);
                last = level;
            }
            after = e;
        }
    }
}

void GeneralTimer::forget_before(Picos t)
{
    while (history_.size() > 1 && history_[1].start <= t) history_.pop_front();
}

// ---------------------------------------------------------------------------------------------------
// State changes.

Picos GeneralTimer::tick_for(uint32_t prescaler) const
{
    uint64_t hz = chip_.clocks().now().tim_apb1;
    if (hz == 0) hz = 1;
    Picos tick = (static_cast<uint64_t>(prescaler) + 1U) * kPicosPerSecond / hz;
    return tick == 0 ? 1 : tick;
}

// Encoder modes, gated mode and external clock mode 1 count on input edges or levels this model does
// not have, so the counter does not move in them. Reset and trigger modes count the internal clock.
bool GeneralTimer::slave_mode_stops_clock() const
{
    uint32_t sms = kSms.get(smcr_);
    return sms == 1U || sms == 2U || sms == 3U || sms == 5U || sms == 7U;
}

// The counter is blocked while the reload value in force is 0.
bool GeneralTimer::should_count(uint32_t arr) const
{
    return (cr1_ & kCen) && !slave_mode_stops_clock() && arr != 0;
}

bool GeneralTimer::preload_waiting() const
{
    return psc_ != psc_active_ || arr_ != current().arr || !std::equal(ccr_active_.begin(), ccr_active_.end(), ccr_);
}

// Sets the flags of every overflow and compare match in (flags_synced_, to], under the present segment.
void GeneralTimer::sync_flags(Picos to)
{
    if (to <= flags_synced_) return;
    const Segment& s = current();
    if (s.counting) {
        const Ticks from_e = ticks_at(s, flags_synced_);
        const Ticks to_e = ticks_at(s, to);
        if (to_e > from_e) {
            if (!(cr1_ & kUdis) && next_update(s, from_e) <= to_e) sr_ |= kUif;
            for (int n = 0; n < 4; ++n) {
                if (output_channel(n) && next_entry(s, ccr_active_[n], from_e) <= to_e) sr_ |= cc_flag(n);
            }
        }
    }
    flags_synced_ = to;
}

void GeneralTimer::commit(Segment next, Picos at)
{
    next.start = at;
    if (history_.back().start == at)
        history_.back() = next;
    else
        history_.push_back(next);
    while (history_.size() > kHistoryLimit) history_.pop_front();
    PwmShape shape = pwm_shape();
    if (!(shape == shape_)) {
        shape_ = shape;
        for (auto& listener : shape_listeners_) listener(shape, at);
    }
}

// The counter keeps its prescaler phase: the next increment comes when it would have come anyway.
void GeneralTimer::rebase_keeping_phase(Segment& s, Picos at, uint32_t count) const
{
    if (s.counting)
        s.t0 += ticks_to_picos(ticks_at(s, at), s.tick);
    else
        s.t0 = at;
    s.c0 = count;
}

// CEN or the slave mode changed: start the counter from where it stood, or freeze it.
void GeneralTimer::restart_or_stop(Picos at)
{
    Segment s = current();
    bool run = should_count(s.arr);
    if (run == s.counting) return;
    s.c0 = counter_at_tick(s, ticks_at(s, at));
    s.t0 = at;
    s.counting = run;
    commit(s, at);
}

// An update event at `at` (an overflow with something buffered, or UG): the buffered PSC, ARR and CCRx
// take effect and the counter starts again from 0 with a fresh prescaler count.
void GeneralTimer::update_event(Picos at)
{
    psc_active_ = psc_;
    std::copy(ccr_, ccr_ + 4, ccr_active_.begin());
    Segment s = current();
    s.arr = arr_;
    s.ccr = ccr_active_[0];
    s.tick = tick_for(psc_active_);
    s.t0 = at;
    s.c0 = 0;
    s.counting = should_count(s.arr);
    commit(s, at);
}

void GeneralTimer::refresh_output(Picos at)
{
    Segment s = current();
    s.ocm = static_cast<OutputMode>(kOc1m.get(ccmr_[0]));
    s.inverted = (ccer_ & kCc1p) != 0;
    s.enabled = (ccer_ & kCc1e) != 0;
    const Segment& was = current();
    if (s.ocm != was.ocm || s.inverted != was.inverted || s.enabled != was.enabled) commit(s, at);
}

bool GeneralTimer::output_channel(int channel) const
{
    return of_channel(kCc1s, channel).get(ccmr_[channel / 2]) == 0;
}

void GeneralTimer::compare_written(int channel)
{
    const uint32_t value = ccr_[channel];
    if (of_channel(kOc1pe, channel).get(ccmr_[channel / 2])) return;  // OCxPE: waits for the next update
    ccr_active_[channel] = value;
    if (channel == 0 && current().ccr != value) {
        Segment s = current();
        s.ccr = value;
        commit(s, now());
    }
}

// One event at most: the next update while a buffered value waits, or the next flag an enabled
// interrupt waits for, whichever comes first.
void GeneralTimer::reschedule()
{
    const Segment& s = current();
    Picos when = kNever;
    next_update_at_ = kNever;
    if (s.counting) {
        const Ticks ref = ticks_at(s, flags_synced_);
        if (!(cr1_ & kUdis)) {
            const Picos update = s.t0 + ticks_to_picos(next_update(s, ref), s.tick);
            if (preload_waiting()) next_update_at_ = when = update;
            if ((dier_ & kUif) && !(sr_ & kUif)) when = std::min(when, update);
        }
        for (int n = 0; n < 4; ++n) {
            uint32_t flag = cc_flag(n);
            if (!(dier_ & flag) || (sr_ & flag) || !output_channel(n)) continue;
            const Ticks e = next_entry(s, ccr_active_[n], ref);
            if (e != kNone) when = std::min(when, s.t0 + ticks_to_picos(e, s.tick));
        }
    }
    if (when == event_timer_.due()) return;  // armed for that time already, or for nothing and none is due
    if (when == kNever)
        event_timer_.cancel();
    else
        event_timer_.arm_at(when);
}

void GeneralTimer::on_event(Picos at)
{
    sync_flags(at);
    if (at == next_update_at_ && !(cr1_ & kUdis) && preload_waiting()) update_event(at);
    recompute_interrupt();
    reschedule();
}

void GeneralTimer::recompute_interrupt()
{
    bool line = (sr_ & dier_ & kInterruptFlags) != 0;
    if (line == line_) return;
    line_ = line;
    chip_.exceptions().set_line(irq_, line);
}

void GeneralTimer::note_unmodelled()
{
    const auto ocm = static_cast<OutputMode>(kOc1m.get(ccmr_[0]));
    const bool match_mode =
        ocm == OutputMode::ActiveOnMatch || ocm == OutputMode::InactiveOnMatch || ocm == OutputMode::ToggleOnMatch;
    struct Check {
        uint32_t bit;
        bool on;
        const char* what;
    };
    const Check checks[] = {
        {kOnePulse, (cr1_ & kOpm) != 0, "one-pulse mode"},
        {kDownCounting, (cr1_ & kDir) != 0, "down-counting (it counts up)"},
        {kCentreAligned, kCms.get(cr1_) != 0, "centre-aligned counting (it counts up)"},
        {kSlaveClock, slave_mode_stops_clock(),
         "an encoder, gated or external-clock slave mode (the counter stands still)"},
        {kMatchMode, match_mode, "channel 1's match modes (its output stays inactive)"},
    };
    for (const Check& c : checks) {
        if (!c.on || (logged_ & c.bit)) continue;
        logged_ |= c.bit;
        chip_.log().line(std::string("TIM2: ") + c.what + " is not modelled");
    }
}

// ---------------------------------------------------------------------------------------------------
// Registers.

std::span<const Register<GeneralTimer>> GeneralTimer::register_table()
{
    using T = GeneralTimer;
    // CNT moves with time, and so do the flags in SR, while the counter runs.
    static constexpr auto counts_while_counting = [](const T& t) {
        return t.counting() ? Motion::Counts : Motion::AtEvents;
    };
    static constexpr Register<T> kTable[] = {
        {.offset = kCr1,
         .name = "CR1",
         .writable = 0x3FFU,
         .on_write = [](T& t, unsigned, uint32_t, uint32_t) { t.control_written(); }},
        {.offset = kCr2, .name = "CR2", .writable = 0xF8U},
        {.offset = kSmcr,
         .name = "SMCR",
         .writable = 0xFFF7U,
         .on_write = [](T& t, unsigned, uint32_t, uint32_t) { t.control_written(); }},
        {.offset = kDier, .name = "DIER", .writable = 0x5F5FU},
        // rc_w0: a 0 clears the flag, a 1 leaves it. Flags are brought up to date when read.
        {.offset = kSr,
         .name = "SR",
         .writable = 0,
         .clear_on_0 = 0xFFFFFFFFU,
         .on_read =
             [](T& t, unsigned) {
                 t.sync_flags(t.now());
                 t.recompute_interrupt();
                 return t.sr_;
             },
         .motion = counts_while_counting},
        // Write-only: reads 0.
        {.offset = kEgr,
         .name = "EGR",
         .writable = 0,
         .on_write = [](T& t, unsigned, uint32_t value, uint32_t) { t.event_generated(value); }},
        {.offset = kCcmr1,
         .name = "CCMR1",
         .writable = 0xFFFFU,
         .on_write =
             [](T& t, unsigned, uint32_t, uint32_t) {
                 t.note_unmodelled();
                 t.refresh_output(t.now());
             }},
        {.offset = kCcmr2, .name = "CCMR2", .writable = 0xFFFFU},
        {.offset = kCcer,
         .name = "CCER",
         .writable = 0xBBBBU,  // CCxE, CCxP, CCxNP of the four channels
         .on_write = [](T& t, unsigned, uint32_t, uint32_t) { t.refresh_output(t.now()); }},
        {.offset = kCnt,
         .name = "CNT",
         .on_read = [](T& t, unsigned) { return t.counter(); },
         .on_write = [](T& t, unsigned, uint32_t value, uint32_t) { t.counter_written(value); },
         .motion = counts_while_counting},
        // Always buffered: takes effect at the next update.
        {.offset = kPsc, .name = "PSC", .writable = 0xFFFFU},
        {.offset = kArr,
         .name = "ARR",
         .on_write = [](T& t, unsigned, uint32_t value, uint32_t) { t.reload_written(value); }},
        {.offset = kCcr1,
         .name = "CCR",
         .on_write = [](T& t, unsigned channel, uint32_t, uint32_t) { t.compare_written(static_cast<int>(channel)); },
         .count = 4},
    };
    return kTable;
}

uint32_t GeneralTimer::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void GeneralTimer::write(uint32_t offset, uint32_t value, unsigned width)
{
    sync_flags(now());  // the flags due so far are set under the settings before the write
    if (!regs_.write(offset, value, width)) return;
    recompute_interrupt();
    reschedule();
}

// CEN or the slave mode changed.
void GeneralTimer::control_written()
{
    note_unmodelled();
    restart_or_stop(now());
}

void GeneralTimer::event_generated(uint32_t egr)
{
    Picos t = now();
    if (egr & kUg) {  // UG: the counter and the prescaler restart now
        if (cr1_ & kUdis) {
            Segment s = current();
            s.t0 = t;
            s.c0 = 0;
            commit(s, t);
        } else {
            update_event(t);
            if (!(cr1_ & kUrs)) sr_ |= kUif;
        }
    }
    sr_ |= egr & (kCcFlags | kTif);  // CCxG, TG
}

void GeneralTimer::counter_written(uint32_t value)
{
    Picos t = now();
    Segment s = current();
    rebase_keeping_phase(s, t, value);
    commit(s, t);
}

void GeneralTimer::reload_written(uint32_t value)
{
    if (cr1_ & kArpe) return;  // buffered: in force at the next update
    Picos t = now();
    Segment s = current();
    rebase_keeping_phase(s, t, counter());
    s.arr = value;
    s.counting = should_count(value);
    commit(s, t);
}

}  // namespace sim
