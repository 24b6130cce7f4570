// The simulated STM32F411: the bus the firmware's registers talk to, the core's time and exceptions,
// and one model per peripheral at the chip's addresses.
//
// Time moves only through what the firmware does to the hardware. Every register access costs cycles
// (cost_model.h); before the access the events that are due run and pending interrupts that beat the
// current execution priority are taken by calling their handler from the vector table, nested as the
// NVIC would nest them. A poll loop is accelerated: a repeated read of a register that changes only at
// events jumps to the next event; a repeated read of a free-running counter moves on by a stride of a
// fixed fraction of the time already spent waiting, never past the next event (kCounterStrideDivisor
// gives the fraction and the lateness it allows). A run of NOPs is a wait on memory, which only an
// interrupt handler can change, so it jumps to the next event too. Spin state
// belongs to the execution level that spins: an interrupt in the middle of a wait does not restart it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chip_context.h"
#include "core_clock.h"
#include "cycle_counter.h"
#include "device_register.h"
#include "dma.h"
#include "flash_interface.h"
#include "exceptions.h"
#include "gpio.h"
#include "iwdg.h"
#include "model_table.h"
#include "pwr.h"
#include "rcc.h"
#include "reset_cause.h"
#include "sim_stop.h"
#include "syscfg.h"
#include "systick.h"
#include "timer.h"
#include "general_timer.h"
#include "usart.h"

namespace sim {

struct ChipConfig {
    bool crystal_present = true;
    // The LSI's frequency, which clocks the independent watchdog: 32 kHz typical, 17 to 47 kHz.
    uint32_t lsi_hz = Iwdg::kLsiTypicalHz;
};

// A core that runs outside the host process (the emulated Cortex-M4 executing the flashable image). It
// takes exceptions itself, at its own instruction boundaries, by asking exceptions() what to take, and
// it owns the memory that the DMA controller reaches.
class ExternalCore {
public:
    virtual uint32_t memory_read(uint32_t address, unsigned width) = 0;
    virtual void memory_write(uint32_t address, uint32_t value, unsigned width) = 0;

protected:
    ~ExternalCore() = default;
};

class Chip final : public device::Bus, public ChipContext {
public:
    using Handler = void (*)();

    // A wait on a counter moves on by this fraction of the time already waited: a wait of W ends at most
    // W/16 + one access late (62 ns on 1 us, 3.75 us on the 1-Wire bus's 60 us slots, well inside its
    // windows, and never more than the time to the next event: 1 ms with the tick running), and takes
    // about 16 * ln(W / 0.3 us) polls instead of one per loop pass.
    static constexpr uint32_t kCounterStrideDivisor = 16;

    explicit Chip(ChipConfig config = {});
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    // The firmware's vector table (word 0 the stack pointer, then exceptions 1..101). `default_handler`
    // names the catch-all handler, so that a halt inside it can say so.
    void set_vector_table(const Handler* table, int words, Handler default_handler = nullptr);
    // A run stops with Stop::Kind::TimeLimit when virtual time reaches `limit`. An external core (below)
    // stops there itself, between its instructions, reading the limit from the scheduler: the chip does
    // not cut one of its accesses short, which would leave the instruction half done.
    void set_time_limit(Picos limit) { scheduler_.set_limit(limit); }
    // Lets time pass as if the running code sat in a NOP loop until `t`: events run, interrupts are taken.
    void run_until(Picos t);
    // From now on exceptions are left pending for `core` to take, and other bus masters reach its memory
    // at chip addresses (nullptr: back to the host firmware's handlers and memory).
    void attach_core(ExternalCore* core) { core_ = core; }
    const ChipConfig& config() const { return config_; }

    // device::Bus
    uint32_t read(uint32_t address, unsigned width) override;
    void write(uint32_t address, uint32_t value, unsigned width) override;
    void nop() override;
    void set_primask(bool masked) override;
    uint32_t load_exclusive(uint32_t address) override;
    bool store_exclusive(uint32_t address, uint32_t value) override;
    void barrier() override;

    // ChipContext
    Picos now() const override { return now_; }
    Scheduler& scheduler() override { return scheduler_; }
    ClockTree& clocks() override { return clocks_; }
    Exceptions& exceptions() override { return exceptions_; }
    Log& log() override { return log_; }
    Cycles core_cycles() const override { return core_clock_.cycles(); }
    uint32_t master_read(uint32_t address, unsigned width) override;
    void master_write(uint32_t address, uint32_t value, unsigned width) override;

    // Resets. Every trigger (the NRST pin, SYSRESETREQ, the watchdog, the supply) asks here; the core
    // performs the reset at its next safe point (perform_reset()): the host build's register access
    // throws ResetSignal, the emulated core stops at its next block boundary. `hold`: the reset stays
    // asserted that long after it is performed (the NRST pulse, a brown-out's dip), the core not running.
    // A second request before the first is performed is part of the same reset (the first cause stands).
    void request_reset(ResetCause cause, Picos hold = 0);
    // The supply gone: a power-on reset held until power_on().
    void power_off();
    void power_on();
    bool reset_pending() const { return pending_reset_.has_value(); }
    // The reset line is still asserted: the core does not run until it is released (an event).
    bool held_in_reset() const { return held_; }
    // The independent watchdog counts: a wait that nothing else can end still ends in its reset.
    bool watchdog_running() const { return iwdg.running(); }
    // Resets the machine for the pending request and says which it was.
    ResetCause perform_reset();
    // The machine's reset: the core's exception state and every model of the table to their reset values,
    // RCC_CSR's reset flags set for `cause` (and, but for a power-on, those of earlier resets kept).
    // Memory is the core's: the caller keeps or loses it (loses_ram()).
    void reset(ResetCause cause);
    // Told of every reset as it is performed, before the models reset (the trace's `reset` event).
    void on_reset(std::function<void(ResetCause, Picos)> listener) { reset_listeners_.push_back(std::move(listener)); }
    // The host build while the reset is held: time passes event by event until it is released (or the
    // run ends: Stop).
    void wait_in_reset();

    // A debugger holds the core halted (or lets it run again): the peripherals DBGMCU freezes stand still.
    void set_debug_halt(bool halted);

    GpioPort& gpio(char letter);
    // A pin of a port, as the board's wiring names it.
    struct Pin {
        GpioPort& port;
        int pin;
    };
    // The pin a serial port's receiver reads: what is wired to the port's far end drives it.
    Pin rx_pin(const Usart& port);
    // Whether the register at `address` changes with time between events (a counter), not only at them.
    bool free_running(uint32_t address);
    uint64_t access_count() const { return accesses_; }
    // A wait that nothing can end stops the node (throws Stop::Kind::Halt dated `since`, when it began):
    // no interrupt can be taken now, none can pre-empt or no event is left to come, and the wait is on
    // memory (which only a handler changes) or no event is left that could change the registers it
    // reads. `waiting` says where and on what ("on NOP (a wait on memory)", "at pc 0x... on registers").
    // Returns when the wait may still end. Both cores' waits are judged here.
    void halt_if_stuck(const std::string& waiting, bool on_memory, Picos since);
    // The register word at `address` as a debugger reads it: no time passes and the read has no effect
    // (0 where no model is).
    uint32_t peek(uint32_t address)
    {
        Peripheral* model = find(address & ~3U);
        return model != nullptr ? model->peek((address & ~3U) - model->base()) : 0;
    }

private:
    struct Spin {
        // CounterPoll: a read of a counter recognised as a wait; its further reads take poll_counter().
        // CycleCounterPoll: the same on a register that declares itself the core's cycle count
        // (Motion::CoreCycles: the DWT's CYCCNT), the commonest wait of all, whose further reads take
        // poll_cycle_counter() and are sampled there from the core clock.
        // CycleCounterRead: the cycle counter read again before that, counted by count_cycle_counter()
        // until the repeats make it a wait (every 1-Wire delay starts with seven of these).
        enum class Kind : uint8_t {
            None,
            Read,
            CounterPoll,
            CycleCounterRead,
            CycleCounterPoll,
            Nop
        } kind = Kind::None;
        uint32_t address = 0;
        Picos since = 0;
        uint32_t repeats = 0;
        // An interrupt handler returned to this level since its last access.
        bool resumed = false;
        uint32_t value = 0;           // what the polled register read last
        bool counter = false;         // the register counts with time (decided when the spin starts)
        Peripheral* model = nullptr;  // the polled register's model, found when the spin starts
    };
    // A loop is recognised after this many repeats of the same read (or NOP): a few reads of one register
    // in a row are ordinary code, not yet a wait.
    static constexpr uint32_t kSpinRecognised = 8;
    // A wait that nothing can end is reported as a halt once it has gone on this long.
    static constexpr uint32_t kStuckRepeats = 1000;

    Peripheral* find(uint32_t address) { return models_.find(address); }
    // Inline, so that a cost known where it is spent (cost_model.h: a few cycles) is multiplied as the
    // constant it is rather than as a 64-bit count.
    void spend(Cycles cost, Picos extra = 0) { spend_picos(cycles_to_picos(cost, core_clock_.period()) + extra); }
    void spend_picos(Picos dt)
    {
        advance(dt);
        if (exceptions_.any_pending()) deliver();
    }
    // What a load or store at `address` costs at the present core clock (kept with the clock's period).
    Picos access_picos(uint32_t address) const
    {
        return address >= 0xE0000000U ? core_access_picos_ : peripheral_access_picos_;
    }
    // The costs above and those of exception entry and return, in picoseconds at the present core clock.
    void set_access_costs();
    // The one way time moves: to `t` (never back), running every event due by then, in order. Whatever
    // moves time comes here (the accesses and their short paths, exception stacking, run_until(), which
    // the emulated core's runner uses), so that one comparison with the scheduler's horizon (the next
    // event or the run's end) decides whether anything is due, and the run ends in one place
    // (stop_at_time_limit()). Interrupts made pending on the way are taken by the caller, when it may
    // (deliver()). `kStacking`: the time of an exception's entry or return, during which no other
    // exception is taken (deliver() waits while the flag is up).
    template <bool kStacking = false>
    [[gnu::always_inline]] void advance_to(Picos t)
    {
        if (t >= scheduler_.horizon()) [[unlikely]] {
            // The run ends at its limit, before time is written: it never passes the limit and comes back.
            if (t >= scheduler_.limit() && core_ == nullptr) [[unlikely]]
                stop_at_time_limit();
            now_ = t;
            if (kStacking) delivering_ = true;
            scheduler_.run_due(now_);
            if (kStacking) delivering_ = false;
            // An event asked for a reset (the watchdog, a stimulus): the host's firmware stops here.
            if (pending_reset_ && core_ == nullptr) [[unlikely]]
                throw_reset();
            return;
        }
        now_ = t;
    }
    void advance(Picos dt) { advance_to(now_ + dt); }
    // Time moves on to the run's end, or stays where it is when it already lies past it (an external
    // core's access that went on past the end, a limit set behind the present), never back; what is due
    // then runs, and the run stops.
    [[noreturn, gnu::noinline]] void stop_at_time_limit();
    void deliver();
    // Time moves on to `to`, past the scheduler's periodic event (its direct slot: the tick's wrap), which
    // is the next event: its action runs on its own and what it pends is taken, as spending the time would
    // do, without the search for whatever else might be due. Does nothing and returns false unless the
    // periodic event is the only event due by `to` and the run does not end by then.
    [[gnu::always_inline]] inline bool pass_periodic_alone(Picos to);
    // Takes `exception`: entry, the handler at its own spin level, return. Inside deliver(), its one
    // caller, so that the exception pended alone (the tick's, a thousand times a simulated second) is
    // taken without a further call.
    [[gnu::always_inline]] inline void take(int exception);
    // A repeated read of a register that changes only at events, recognised as a wait.
    Picos accelerate_read(Spin& spin, Peripheral* model, uint32_t address);
    // A wait on a counter moves on by a stride of a fraction of the time already waited, never past the
    // next event, so the wait ends at most that fraction late: the time the stride reaches, as a target
    // (on by the stride, but not past the next event, nor back), which the poll's hot path uses as it is.
    Picos stride_target(const Spin& s) const
    {
        const Picos next = scheduler_.next_time();
        const Picos to = stride_end(s);
        if (to > next) return next > now_ ? next : now_;
        return to;
    }
    // The stride alone, before the bound.
    Picos stride_end(const Spin& s) const { return now_ + (now_ - s.since) / kCounterStrideDivisor; }
    // What every poll of a recognised counter wait does before the read: time moves on to stride_target()
    // plus the access, events due by then run and interrupts are taken.
    void poll_stride(const Spin& s, Picos access)
    {
        advance_to(stride_target(s) + access);
        if (exceptions_.any_pending()) deliver();
    }
    // A further read of a counter recognised as being waited on (SysTick's VAL, a timer's count): apart
    // from the general read and short, reached from read() by a jump.
    [[gnu::noinline]] uint32_t poll_counter(uint32_t address, unsigned width);
    // The same on the cycle counter (the 1-Wire slots and the long pauses, thousands of times a simulated
    // second), whose model, register and access cost are known without looking: inside read() itself,
    // which saves a second call's frame on every poll (the other reads leave read() by a jump). CYCCNT is
    // read whole whatever the width.
    [[gnu::always_inline]] inline uint32_t poll_cycle_counter();
    // Its rarer ends: a stride that reaches an event or the run's end (`unbounded`: where the stride and
    // the access would end without the bound), and interrupts pending after it.
    [[gnu::noinline]] uint32_t poll_cycle_counter_to_event(Picos unbounded);
    [[gnu::noinline]] uint32_t cycle_count_after_delivery();
    // A repeated read of the cycle counter not yet recognised as a wait: at the access's own pace, counted.
    // Inside read() as well, with the same rare ends (the access reaching an event: one of its own).
    [[gnu::always_inline]] inline uint32_t count_cycle_counter();
    [[gnu::noinline]] uint32_t cycle_count_after_events();
    // Any other read.
    [[gnu::noinline]] uint32_t read_any(uint32_t address, unsigned width);
    // The rare paths of read() and take(), out of line so that theirs stay short.
    [[gnu::noinline]] uint32_t read_unmapped(uint32_t address);
    [[noreturn, gnu::noinline]] void halt_no_handler(int exception);
    [[noreturn, gnu::noinline]] void halt_nested_too_deep();
    Picos skip_for_nop();
    // A serial port's TX and RX lines on port A's pins `tx` and `rx`.
    void wire_serial_pins(Usart& port, int tx, int rx);
    [[noreturn]] void halt(const std::string& reason);
    Spin& spin() { return *spin_; }

    ChipConfig config_;
    Log log_;
    Scheduler scheduler_;
    ClockTree clocks_;
    Exceptions exceptions_;

    Picos now_ = 0;
    // Cycles of HCLK, which runs the core from reset on the 16 MHz HSI.
    CoreClock core_clock_{now_, period_of(16'000'000)};
    Picos core_access_picos_ = 0;
    Picos peripheral_access_picos_ = 0;
    Picos exception_entry_picos_ = 0;
    Picos exception_return_picos_ = 0;
    uint64_t accesses_ = 0;

    const Handler* vectors_ = nullptr;
    int vector_words_ = 0;
    Handler default_handler_ = nullptr;
    // One spin state per execution level: thread, then each nested exception (at most one per priority
    // level plus the faults, far below this bound).
    std::array<Spin, 64> spins_{};
    // This level's slot in spins_ (the thread's is the first), kept as a pointer because every read
    // starts from it.
    Spin* spin_ = spins_.data();
    bool monitor_valid_ = false;
    uint32_t monitor_address_ = 0;
    bool delivering_ = false;
    ExternalCore* core_ = nullptr;
    std::optional<ResetCause> pending_reset_;
    Picos pending_hold_ = 0;
    bool held_ = false;
    bool powered_ = true;
    bool debug_halted_ = false;
    std::vector<std::function<void(ResetCause, Picos)>> reset_listeners_;
    Timer release_timer_{scheduler_, [this](Picos) { held_ = false; }};
    [[noreturn, gnu::noinline]] static void throw_reset() { throw ResetSignal{}; }

    // Declared before the models, which enter themselves in it as they are built.
    ModelTable models_;

public:
    // The models, one per block of the layout (soc_layout.h), built in this order (a model that takes
    // another in its constructor comes after it). Their wiring to one another is in the constructor.
    Mapped<NvicBlock> nvic;
    Mapped<ScbBlock> scb;
    Mapped<SysTickTimer> systick;
    Mapped<CycleCounter> dwt;
    Mapped<CoreDebugBlock> core_debug;
    Mapped<Rcc> rcc;
    Mapped<Pwr> pwr;
    Mapped<FlashInterface> flash;
    Mapped<Syscfg> syscfg;
    Mapped<GpioPort> gpioa;
    Mapped<GpioPort> gpiob;
    Mapped<GpioPort> gpioc;
    Mapped<GpioPort> gpioh;
    Mapped<GeneralTimer> tim2;
    Mapped<Usart> usart1;
    Mapped<Usart> usart2;
    Mapped<DmaController> dma2;
    Mapped<Iwdg> iwdg;
    Mapped<DbgMcu> dbgmcu;
};

}  // namespace sim
