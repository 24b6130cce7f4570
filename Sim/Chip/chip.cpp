#include "chip.h"

#include <algorithm>
#include <cstring>

#include "cost_model.h"
#include "hex_text.h"

namespace sim {

namespace {

// The serial ports' pins on port A (the STM32F411's pin map, alternate function 7 for both ports).
constexpr uint32_t kUsartAlternate = 7;
constexpr int kUsart1Tx = 9, kUsart1Rx = 10;
constexpr int kUsart2Tx = 2, kUsart2Rx = 3;

}  // namespace

Chip::Chip(ChipConfig config)
    : config_(config),
      nvic(models_, soc::kNvic, exceptions_, log_),
      scb(models_, soc::kScb, exceptions_, log_),
      systick(models_, *this, soc::kSysTick),
      dwt(models_, *this, core_clock_, soc::kDwt),
      core_debug(models_, soc::kCoreDebug, dwt, log_),
      rcc(models_, *this, soc::kRcc, config.crystal_present),
      pwr(models_, *this, soc::kPwr),
      flash(models_, *this, soc::kFlash),
      syscfg(models_, *this, soc::kSyscfg),
      gpioa(models_, *this, soc::kGpioA),
      gpiob(models_, *this, soc::kGpioB),
      gpioc(models_, *this, soc::kGpioC),
      gpioh(models_, *this, soc::kGpioH),
      tim2(models_, *this, soc::kTim2),
      usart1(models_, *this, soc::kUsart1),
      usart2(models_, *this, soc::kUsart2),
      dma2(models_, *this, soc::kDma2),
      iwdg(models_, *this, soc::kIwdg, config.lsi_hz),
      dbgmcu(models_, *this, soc::kDbgMcu)
{
    // The cycle count carries on across a change of HCLK; re-base it on the old period first.
    clocks_.set_core_hook([this](const Clocks&, const Clocks& after) {
        core_clock_.change_period(period_of(after.hclk));
        set_access_costs();
    });
    set_access_costs();
    models_.check_complete();
    // The wiring between models and pins, in one place.
    // A0's alternate function 1 is TIM2 channel 1, whose level is computed when asked for.
    gpioa.set_alternate_source(0, 1, [this](Picos t) { return tim2.output_level(t); });
    // USART1's receiver requests the DMA2 streams its layout entry names.
    connect_dma(usart1.rx_dma(), dma2, soc::kUsart1.rx_dma);
    wire_serial_pins(usart1, kUsart1Tx, kUsart1Rx);
    wire_serial_pins(usart2, kUsart2Tx, kUsart2Rx);
    // SYSRESETREQ resets the machine.
    scb.on_system_reset_request([this] { request_reset(ResetCause::Software); });
    // The watchdog resets the machine; its LSI also runs when RCC's LSION asks; DBGMCU freezes it while
    // a debugger halts the core.
    iwdg.on_timeout([this] { request_reset(ResetCause::Watchdog); });
    iwdg.set_lsi_requested([this] { return rcc.lsi_on(); });
    dbgmcu.on_change([this] { iwdg.set_frozen(debug_halted_ && dbgmcu.iwdg_stop()); });
    device::install_bus(this);
}

// The transmitter drives its TX pin's alternate-function output; the receiver reads its RX pin.
void Chip::wire_serial_pins(Usart& port, int tx, int rx)
{
    port.on_tx_level([this, tx](int level, Picos) { gpioa.set_alternate_level(tx, level); });
    gpioa.connect_alternate_input(rx, kUsartAlternate, [&port](int level, Picos at) { port.rx_line(level, at); });
}

Chip::Pin Chip::rx_pin(const Usart& port)
{
    return {gpioa, &port == &usart2 ? kUsart2Rx : kUsart1Rx};
}

Chip::~Chip()
{
    device::install_bus(nullptr);
}

void Chip::set_vector_table(const Handler* table, int words, Handler default_handler)
{
    vectors_ = table;
    vector_words_ = words;
    default_handler_ = default_handler;
}

void Chip::set_access_costs()
{
    core_access_picos_ = cycles_to_picos(cost::kCoreAccess, core_clock_.period());
    peripheral_access_picos_ = cycles_to_picos(cost::kPeripheralAccess, core_clock_.period());
    exception_entry_picos_ = cycles_to_picos(cost::kExceptionEntry, core_clock_.period());
    exception_return_picos_ = cycles_to_picos(cost::kExceptionReturn, core_clock_.period());
}

GpioPort& Chip::gpio(char letter)
{
    switch (letter) {
        case 'A':
            return gpioa;
        case 'B':
            return gpiob;
        case 'C':
            return gpioc;
        default:
            return gpioh;
    }
}

bool Chip::free_running(uint32_t address)
{
    Peripheral* model = find(address);
    return model != nullptr && model->free_running(address - model->base());
}

// ---------------------------------------------------------------------------------------------------
// Time.

void Chip::stop_at_time_limit()
{
    if (now_ < scheduler_.limit()) now_ = scheduler_.limit();
    scheduler_.run_due(now_);
    throw Stop(Stop::Kind::TimeLimit, "time limit reached", now_);
}

void Chip::run_until(Picos t)
{
    spin().kind = Spin::Kind::None;  // time passing outside the firmware ends any poll in progress
    while (now_ < t) {
        Picos next = std::min(scheduler_.next_time(), t);
        advance(next > now_ ? next - now_ : 0);
        if (exceptions_.any_pending()) deliver();
        if (next == t) break;
    }
}

void Chip::take(int e)
{
    Handler handler = (vectors_ && e < vector_words_) ? vectors_[e] : nullptr;
    if (handler == nullptr) halt_no_handler(e);

    exceptions_.activate(e);
    monitor_valid_ = false;  // every exception entry clears the exclusive monitor
    advance_to<true>(now_ + exception_entry_picos_);
    if (spin_ == &spins_.back()) halt_nested_too_deep();
    // The handler's level starts with no wait in progress; its first access sets the rest of the state.
    (++spin_)->kind = Spin::Kind::None;
    handler();
    (--spin_)->resumed = true;
    advance_to<true>(now_ + exception_return_picos_);
    exceptions_.deactivate(e);
}

void Chip::deliver()
{
    if (delivering_) return;       // an exception's entry does not itself take another; its first access will
    if (core_ != nullptr) return;  // an external core takes them between its own instructions
    while (exceptions_.any_pending()) {
        const int e = exceptions_.next_to_take();
        if (e == 0) break;
        take(e);
    }
}

// ---------------------------------------------------------------------------------------------------
// Resets.

void Chip::request_reset(ResetCause cause, Picos hold)
{
    // Nothing runs to be reset while the supply is off, and a request while the reset is still held
    // (another press of the button) is part of the reset in progress.
    if (!powered_ || held_) return;
    if (!pending_reset_) {
        pending_reset_ = cause;
        pending_hold_ = hold;
    } else {
        pending_hold_ = std::max(pending_hold_, hold);
    }
}

void Chip::power_off()
{
    if (!powered_) return;
    pending_reset_ = ResetCause::PowerOn;
    pending_hold_ = 0;
    powered_ = false;
}

void Chip::power_on()
{
    if (powered_) return;
    powered_ = true;
    held_ = false;
}

ResetCause Chip::perform_reset()
{
    const ResetCause cause = pending_reset_.value_or(ResetCause::PowerOn);
    const Picos hold = pending_hold_;
    pending_reset_.reset();
    pending_hold_ = 0;
    release_timer_.cancel();
    held_ = false;
    reset(cause);
    if (!powered_) {
        held_ = true;  // until power_on()
    } else if (hold != 0) {
        held_ = true;
        release_timer_.arm_at(now_ + hold);
    }
    return cause;
}

void Chip::reset(ResetCause cause)
{
    for (const auto& listener : reset_listeners_) listener(cause, now_);
    const uint32_t kept = loses_ram(cause) ? 0 : rcc.reset_flags();
    exceptions_.reset();
    for (Spin& s : spins_) s = Spin{};
    spin_ = spins_.data();
    monitor_valid_ = false;
    delivering_ = false;
    models_.reset_all(loses_ram(cause));
    rcc.set_reset_flags(kept | reset_flags_of(cause));
}

void Chip::set_debug_halt(bool halted)
{
    debug_halted_ = halted;
    iwdg.set_frozen(halted && dbgmcu.iwdg_stop());
}

void Chip::wait_in_reset()
{
    while (held_) {
        const Picos next = scheduler_.next_time();
        if (next == kNever && scheduler_.limit() == kNever) halt("held in reset with nothing to release it");
        advance_to(std::min(next, scheduler_.limit()));
    }
}

// ---------------------------------------------------------------------------------------------------
// Halts.

[[noreturn]] void Chip::halt(const std::string& reason)
{
    throw Stop(Stop::Kind::Halt, reason, now_);
}

void Chip::halt_no_handler(int e)
{
    halt("exception " + Exceptions::name(e) + " taken with no handler in the vector table");
}

void Chip::halt_nested_too_deep()
{
    halt("exceptions nested deeper than the core allows");
}

void Chip::halt_if_stuck(const std::string& waiting, bool on_memory, Picos since)
{
    if (exceptions_.next_to_take() != 0) return;  // about to be taken: the wait may still end
    if (iwdg.running()) return;                   // its reset ends any wait
    const bool no_event = scheduler_.next_time() == kNever;
    if (exceptions_.anything_can_preempt() && !no_event) return;
    if (!on_memory && !no_event) return;  // an event may still change the registers it reads
    int e = exceptions_.innermost_active();
    std::string where;
    if (e == 0)
        where = "thread level";
    else {
        Handler h = (vectors_ && e < vector_words_) ? vectors_[e] : nullptr;
        where = Exceptions::name(e) + (h != nullptr && h == default_handler_ ? " in Default_Handler" : " handler");
    }
    std::string why = exceptions_.primask() ? "interrupts masked (PRIMASK)" : "no interrupt can pre-empt";
    // The node stopped when the wait that nothing can end began, not when the simulator gave up on it.
    throw Stop(Stop::Kind::Halt, "core stopped: " + where + " spinning " + waiting + ", " + why, since);
}

Picos Chip::skip_for_nop()
{
    Spin& s = spin();
    if (s.kind != Spin::Kind::Nop) {
        s = Spin{.kind = Spin::Kind::Nop, .since = now_};
        return 0;
    }
    if (++s.repeats < kSpinRecognised) return 0;
    if (s.repeats >= kStuckRepeats) halt_if_stuck("on NOP (a wait on memory)", true, s.since);
    Picos next = scheduler_.next_time();
    return next > now_ ? next - now_ : 0;
}

// A repeated read of a register that changes only at events, recognised as a wait: how far time may
// jump before this read.
Picos Chip::accelerate_read(Spin& s, Peripheral* model, uint32_t address)
{
    Picos next = scheduler_.next_time();
    Picos to_next = next > now_ ? next - now_ : 0;
    // A register that changes only at events; but an interrupt handler that ran since the last read may
    // have written it (or what the loop tests besides it), so that read goes at the loop's own pace.
    if (s.resumed) {
        s.resumed = false;
        return 0;
    }
    if (next == kNever && s.repeats >= kStuckRepeats)
        halt_if_stuck("on " + model->name() + " register " + hex_text(address), false, s.since);
    return to_next;
}

// ---------------------------------------------------------------------------------------------------
// Bus.

uint32_t Chip::poll_cycle_counter()
{
    ++accesses_;
    // Most polls stride short of the next event and of the run's end, with nothing pending: the stride as
    // it is, with no clamp, and the count at the time reached. The rest leave by calls, so that nothing
    // here is kept for them across the arithmetic (a 32-bit core has few registers for 64-bit times).
    const Picos to = stride_end(*spin_) + core_access_picos_;
    if (to >= scheduler_.horizon()) [[unlikely]]
        return poll_cycle_counter_to_event(to);
    advance_to(to);  // nothing due: the comparison above already said so
    if (exceptions_.any_pending()) [[unlikely]]
        return cycle_count_after_delivery();
    return dwt.cyccnt_at(core_clock_.cycles_at(to));
}

uint32_t Chip::poll_cycle_counter_to_event(Picos unbounded)
{
    // Commonest by far: a long wait (the main loop's pauses) whose stride the tick cuts short.
    const Picos next = scheduler_.next_time();
    const Picos to = next + core_access_picos_;
    if (next > now_ && unbounded >= to && pass_periodic_alone(to)) return dwt.cyccnt_at(core_clock_.cycles_at(now_));
    poll_stride(*spin_, core_access_picos_);
    return dwt.cyccnt_at(core_clock_.cycles_at(now_));
}

bool Chip::pass_periodic_alone(Picos to)
{
    if (!(to < scheduler_.limit() && scheduler_.direct_alone_until(to))) return false;
    // The periodic event's action is given its own time, and what it schedules is due after it: it runs
    // first, then time moves on as anywhere else. The tick's wrap, when it holds the slot, is called
    // inline rather than through the slot's function pointer: 2 million instructions fewer on 120
    // simulated seconds (1.8 %, callgrind).
    if (scheduler_.direct_owner() == &systick)
        scheduler_.run_direct_as([this](Picos at) { systick.wrap(at); });
    else
        scheduler_.run_direct();
    advance_to(to);
    if (exceptions_.any_pending()) deliver();
    return true;
}

uint32_t Chip::cycle_count_after_delivery()
{
    deliver();
    return dwt.cyccnt_at(core_clock_.cycles_at(now_));
}

uint32_t Chip::count_cycle_counter()
{
    Spin& s = spin();
    ++accesses_;
    // Recognised from the next read on, as any other counter (its repeats reach kSpinRecognised there).
    if (++s.repeats + 1 >= kSpinRecognised) s.kind = Spin::Kind::CycleCounterPoll;
    const Picos to = now_ + core_access_picos_;
    if (to >= scheduler_.horizon()) [[unlikely]]
        return cycle_count_after_events();
    advance_to(to);  // nothing due: the comparison above already said so
    if (exceptions_.any_pending()) [[unlikely]]
        return cycle_count_after_delivery();
    return dwt.cyccnt_at(core_clock_.cycles_at(to));
}

uint32_t Chip::cycle_count_after_events()
{
    spend_picos(core_access_picos_);
    return dwt.cyccnt_at(core_clock_.cycles_at(now_));
}

uint32_t Chip::read(uint32_t address, unsigned width)
{
    const Spin& s = *spin_;
    if (s.kind == Spin::Kind::CycleCounterPoll && s.address == address) return poll_cycle_counter();
    if (s.kind == Spin::Kind::CycleCounterRead && s.address == address) return count_cycle_counter();
    if (s.kind == Spin::Kind::CounterPoll && s.address == address) return poll_counter(address, width);
    return read_any(address, width);
}

uint32_t Chip::read_any(uint32_t address, unsigned width)
{
    ++accesses_;
    Spin& s = spin();  // this level's slot: a handler taken during spend() uses the next one
    Peripheral* model;
    Picos skip = 0;
    if (s.kind == Spin::Kind::Read && s.address == address) {
        model = s.model;
        ++s.repeats;
        if (s.counter) {
            // Recognised from the next read on (its repeats reach kSpinRecognised there), which then takes
            // poll_counter(); the cycle counter has a kind of its own from the first read.
            if (s.repeats + 1 >= kSpinRecognised) s.kind = Spin::Kind::CounterPoll;
        } else if (s.repeats >= kSpinRecognised) {
            skip = accelerate_read(s, model, address);
        }
    } else {
        model = find(address);
        if (model == nullptr) return read_unmapped(address);
        const Motion motion = model->motion(address - model->base());
        const bool counter = motion != Motion::AtEvents;
        s = Spin{.kind = motion == Motion::CoreCycles ? Spin::Kind::CycleCounterRead : Spin::Kind::Read,
                 .address = address,
                 .since = now_,
                 .counter = counter,
                 .model = model};
    }
    spend_picos(access_picos(address) + skip);
    const uint32_t value = model->read(address - model->base(), width);
    // A poll is over once its register reads differently: reading it again (TXE after the TC that ended
    // the last character) starts a new wait rather than continuing that one. Counters always change.
    if (!s.counter && s.kind == Spin::Kind::Read && s.address == address) {
        if (s.repeats > 0 && value != s.value)
            s = Spin{.kind = Spin::Kind::Read, .address = address, .since = now_, .model = model};
        s.value = value;
    }
    return value;
}

uint32_t Chip::poll_counter(uint32_t address, unsigned width)
{
    Spin& s = spin();
    ++accesses_;
    poll_stride(s, access_picos(address));
    return s.model->read(address - s.model->base(), width);
}

uint32_t Chip::read_unmapped(uint32_t address)
{
    spin().kind = Spin::Kind::None;
    spend_picos(access_picos(address));
    log_.line("read of " + hex_text(address) + ": no model at this address");
    return 0;
}

void Chip::write(uint32_t address, uint32_t value, unsigned width)
{
    ++accesses_;
    spin().kind = Spin::Kind::None;
    Peripheral* model = find(address);
    spend_picos(access_picos(address));
    if (model == nullptr) {
        log_.line("write of " + hex_text(value) + " to " + hex_text(address) + ": no model at this address");
        return;
    }
    model->write(address - model->base(), value, width);
    // A write may ask for a reset (SYSRESETREQ): the host's firmware stops here.
    if (pending_reset_ && core_ == nullptr) [[unlikely]]
        throw_reset();
    // A write may pend an interrupt (NVIC ISPR, a peripheral's enable bit): it is taken right after.
    if (exceptions_.any_pending()) deliver();
}

void Chip::nop()
{
    const Picos skip = skip_for_nop();
    // A recognised wait on memory jumps to the next event: the periodic one alone (the tick), in a pause on
    // the tick count.
    if (skip != 0 && pass_periodic_alone(now_ + skip + cycles_to_picos(cost::kNop, core_clock_.period()))) return;
    spend(cost::kNop, skip);
}

void Chip::set_primask(bool masked)
{
    spin().kind = Spin::Kind::None;
    exceptions_.set_primask(masked);
    spend(cost::kCpsid);
}

uint32_t Chip::load_exclusive(uint32_t address)
{
    uint32_t value = read(address, 4);
    monitor_valid_ = true;
    monitor_address_ = address;
    return value;
}

bool Chip::store_exclusive(uint32_t address, uint32_t value)
{
    ++accesses_;
    spin().kind = Spin::Kind::None;
    // An exception taken before the store (delivered here, ahead of the access) clears the monitor.
    spend_picos(access_picos(address));
    bool ok = monitor_valid_ && monitor_address_ == address;
    monitor_valid_ = false;
    if (!ok) return false;
    if (Peripheral* model = find(address))
        model->write(address - model->base(), value, 4);
    else
        log_.line("exclusive store to " + hex_text(address) + ": no model at this address");
    if (exceptions_.any_pending()) deliver();
    return true;
}

void Chip::barrier()
{
    spend(cost::kBarrier);
}

// ---------------------------------------------------------------------------------------------------
// Other bus masters.

uint32_t Chip::master_read(uint32_t address, unsigned width)
{
    if (core_ != nullptr) {
        if (Peripheral* model = find(address)) return model->read(address - model->base(), width);
        return core_->memory_read(address, width);
    }
    uintptr_t host = address;
    if (device::in_mirror(host)) {
        uint32_t chip_address = device::chip_address_of(reinterpret_cast<const void*>(host));
        if (Peripheral* model = find(chip_address)) return model->read(chip_address - model->base(), width);
        return 0;
    }
    uint32_t value = 0;
    std::memcpy(&value, reinterpret_cast<const void*>(host), width);
    return value;
}

void Chip::master_write(uint32_t address, uint32_t value, unsigned width)
{
    if (core_ != nullptr) {
        if (Peripheral* model = find(address))
            model->write(address - model->base(), value, width);
        else
            core_->memory_write(address, value, width);
        return;
    }
    uintptr_t host = address;
    if (device::in_mirror(host)) {
        uint32_t chip_address = device::chip_address_of(reinterpret_cast<const void*>(host));
        if (Peripheral* model = find(chip_address)) model->write(chip_address - model->base(), value, width);
        return;
    }
    std::memcpy(reinterpret_cast<void*>(host), &value, width);
}

}  // namespace sim
