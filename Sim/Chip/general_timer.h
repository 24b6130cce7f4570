// TIM2, the STM32F411's 32-bit general-purpose timer, as far as an up-counting PWM needs it: an up-counter on the APB1
// timer clock divided by PSC + 1, an update event each time it passes ARR (a period is ARR + 1 ticks),
// and PWM on channel 1 (pin A0, alternate function 1).
//
// Nothing here runs per tick or per period. The counter is a function of time from an anchor (the
// counter held c0 at t0, counting ticks of a known length), and channel 1's output is a function of the
// counter: in PWM mode 1 it is active while CNT < CCR1, so CCR1 = 0 is constantly low and CCR1 > ARR
// constantly high. Flags are brought up to date when they are read or when something changes. One event
// is scheduled only when it matters: at the next update while a buffered value (PSC; ARR with ARPE;
// CCRx with OCxPE) waits to be loaded, so that the waveform changes at the right edge, and at the next
// flag that an enabled interrupt waits for. At a 100 MHz timer clock with PSC 99 a tick is 1 us.
//
// Every change of the effective waveform starts a new segment of a short history, so that the output's
// edges over any past interval can be computed when someone asks (a waveform writer, a duty meter).
//
// Modelled: CEN, UDIS, URS, ARPE of CR1; slave mode selection only as far as it stops the internal
// clock; UIF and CCxIF with their interrupt enables; UG, CCxG and TG; channel 1's output in PWM mode 1
// and 2 and the forced levels, CC1P and CC1E. Stored but not modelled (logged once when set): one-pulse
// mode, down and centre-aligned counting, external and gated clocks, the match modes of the outputs.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "chip_context.h"
#include "peripheral.h"
#include "timer.h"

namespace sim {

// TIM2's register offsets, bits and fields (the reference manual's names).
namespace tim_reg {

inline constexpr uint32_t kCr1 = 0x00, kCr2 = 0x04, kSmcr = 0x08, kDier = 0x0C, kSr = 0x10, kEgr = 0x14;
inline constexpr uint32_t kCcmr1 = 0x18, kCcmr2 = 0x1C, kCcer = 0x20, kCnt = 0x24, kPsc = 0x28, kArr = 0x2C;
inline constexpr uint32_t kCcr1 = 0x34;  // CCR1..CCR4 follow one word apart

// CR1
inline constexpr uint32_t kCen = 1U << 0, kUdis = 1U << 1, kUrs = 1U << 2, kOpm = 1U << 3, kDir = 1U << 4;
inline constexpr uint32_t kArpe = 1U << 7;
inline constexpr Field kCms{5, 2};
// SMCR
inline constexpr Field kSms{0, 3};
// SR, DIER and EGR share their low bits: UIF/UIE/UG, CCxIF/CCxIE/CCxG at bits 1..4, TIF/TIE/TG at bit 6.
inline constexpr uint32_t kUif = 1U << 0, kTif = 1U << 6;
inline constexpr uint32_t kUg = kUif;
constexpr uint32_t cc_flag(int channel)
{
    return 2U << channel;
}
inline constexpr uint32_t kCcFlags = 0xFU << 1;
// CCMR1 holds channels 1 and 2, CCMR2 channels 3 and 4; each channel's fields sit 8 bits after the
// previous channel's.
inline constexpr Field kCc1s{0, 2}, kOc1pe{3}, kOc1m{4, 3};
constexpr Field of_channel(Field channel1_field, int channel)
{
    return {static_cast<uint8_t>(channel1_field.shift + 8 * (channel % 2)), channel1_field.width};
}
// What OCxM selects.
enum class OutputMode : uint8_t {
    Frozen = 0,
    ActiveOnMatch = 1,
    InactiveOnMatch = 2,
    ToggleOnMatch = 3,
    ForcedInactive = 4,
    ForcedActive = 5,
    Pwm1 = 6,  // active while CNT < CCRx (counting up)
    Pwm2 = 7,  // inactive while CNT < CCRx
};
// CCER: channel n's enable and polarity are 4 bits further than channel n-1's.
inline constexpr uint32_t kCc1e = 1U << 0, kCc1p = 1U << 1;

}  // namespace tim_reg

// The effective waveform of a PWM output: its period and the high time within it. Constantly low:
// high 0; constantly high: high = period; timer not running: period 0.
struct PwmShape {
    Picos period = 0;
    Picos high = 0;
    bool operator==(const PwmShape&) const = default;
};

class GeneralTimer : public Peripheral {
public:
    using ShapeListener = std::function<void(const PwmShape& shape, Picos at)>;
    using EdgeSink = std::function<void(Picos at, int level)>;

    GeneralTimer(ChipContext& chip, const soc::Block& block);

    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    Motion motion(uint32_t offset) const override { return regs_.motion(offset); }

    void reset() override;

    // Channel 1's output level (0 or 1) at `now`.
    int output_level(Picos now) const;
    PwmShape pwm_shape() const;
    // Called whenever the effective waveform changes: at start and stop, at an update event that loads
    // a new compare or reload value, at an immediate change of the output's configuration.
    void on_shape_change(ShapeListener listener) { shape_listeners_.push_back(std::move(listener)); }
    // Every edge of channel 1's output at a time in [from, to): the time and the new level. Edges after
    // the present follow the timer's present state.
    void edges(Picos from, Picos to, const EdgeSink& sink) const;
    // The history before `t` is no longer needed.
    void forget_before(Picos t);

    // Present state, for tests and tools.
    uint32_t counter() const;
    bool counting() const { return current().counting; }
    uint32_t active_reload() const { return current().arr; }
    uint32_t active_prescaler() const { return psc_active_; }
    uint32_t active_compare(int channel) const { return ccr_active_[channel & 3]; }
    Picos tick() const { return current().tick; }

private:
    // One stretch of time over which the counter and channel 1's output follow fixed settings.
    struct Segment {
        Picos start = 0;
        bool counting = false;
        Picos t0 = 0;  // when the counter held c0; a tick boundary
        uint32_t c0 = 0;
        Picos tick = 1;                                         // length of one counter tick
        uint32_t arr = 0;                                       // auto-reload value in force
        uint32_t ccr = 0;                                       // channel 1's compare value in force
        tim_reg::OutputMode ocm = tim_reg::OutputMode::Frozen;  // channel 1's output compare mode (OC1M)
        bool inverted = false;                                  // CC1P: active low
        bool enabled = false;                                   // CC1E
    };
    static constexpr Ticks kNone{UINT64_MAX};
    // At most this many segments are kept (a firmware that changed its compare value every period
    // would otherwise grow the history by 50 a second).
    static constexpr size_t kHistoryLimit = 65536;

    static Ticks ticks_at(const Segment& s, Picos t);
    static Ticks first_overflow(const Segment& s);
    static Ticks period_ticks(const Segment& s) { return Ticks(static_cast<uint64_t>(s.arr) + 1U); }
    static uint32_t counter_at_tick(const Segment& s, Ticks e);
    static Ticks next_entry(const Segment& s, uint32_t value, Ticks after);
    static Ticks next_update(const Segment& s, Ticks after);
    static int output_of(const Segment& s, uint32_t count);
    static bool pwm_mode(const Segment& s)
    {
        return s.ocm == tim_reg::OutputMode::Pwm1 || s.ocm == tim_reg::OutputMode::Pwm2;
    }
    static int level_at(const Segment& s, Picos t);

    const Segment& current() const { return history_.back(); }
    Picos now() const { return chip_.now(); }
    Picos tick_for(uint32_t prescaler) const;
    bool slave_mode_stops_clock() const;
    bool should_count(uint32_t arr) const;
    bool preload_waiting() const;

    void sync_flags(Picos to);
    void commit(Segment next, Picos at);
    void restart_or_stop(Picos at);
    void rebase_keeping_phase(Segment& s, Picos at, uint32_t count) const;
    void update_event(Picos at);
    void refresh_output(Picos at);
    void reschedule();
    void on_event(Picos at);
    void recompute_interrupt();
    void note_unmodelled();
    bool output_channel(int channel) const;  // CCxS 00: the channel compares rather than captures

    // Register hooks.
    void control_written();
    void event_generated(uint32_t egr);
    void counter_written(uint32_t value);
    void reload_written(uint32_t value);
    void compare_written(int channel);
    static std::span<const Register<GeneralTimer>> register_table();

    ChipContext& chip_;
    int irq_;  // the timer's global interrupt

    RegisterMap<GeneralTimer> regs_;
    // The registers' stored words, which the map keeps (PSC, ARR and CCRx hold the preload values: what
    // the firmware reads back).
    uint32_t &cr1_, &cr2_, &smcr_, &dier_, &sr_, &ccer_, &psc_, &arr_;
    uint32_t* ccmr_;  // CCMR1, CCMR2
    uint32_t* ccr_;   // CCR1..CCR4
    uint32_t psc_active_ = 0;
    std::array<uint32_t, 4> ccr_active_{};

    std::deque<Segment> history_;
    Picos flags_synced_ = 0;  // flags are up to date for every event at or before this time
    Timer event_timer_;
    Picos next_update_at_ = kNever;  // the update the event is for, when a buffered value waits
    bool line_ = false;
    uint32_t logged_ = 0;  // unmodelled features already reported
    PwmShape shape_;
    std::vector<ShapeListener> shape_listeners_;
};

}  // namespace sim
