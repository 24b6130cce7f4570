// The Cortex-M4's exception state (pending, enabled, active, priorities, PRIMASK, priority grouping)
// and the two register blocks that expose it: the NVIC (0xE000E100) and the System Control Block
// (0xE000ED00). Which exception to take, and when, is decided here; the chip calls the handler.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "peripheral.h"
#include "sim_log.h"
#include "soc_layout.h"

namespace sim {

constexpr int kIrqCount = soc::kIrqCount;
constexpr int kExceptionCount = 16 + kIrqCount;  // exception number e: 1..15 system, 16 + n for IRQ n
constexpr int kHardFaultException = 3;
constexpr int kSysTickException = 15;
constexpr int kPendSVException = 14;
constexpr int kThreadPriority = 256;  // below every configurable priority

constexpr int exception_of_irq(int irq)
{
    return 16 + irq;
}

class Exceptions {
public:
    void reset();

    // Inline: a 1 kHz tick pends and clears its exception a thousand times a simulated second.
    void set_pending(int exception)
    {
        const auto e = static_cast<unsigned>(exception);  // unsigned: the word and bit are a shift and a mask
        const uint32_t bit = 1U << (e % 32);
        if (!(pending_bits_[e / 32] & bit) && pending_count_++ == 0) alone_ = exception;
        pending_bits_[e / 32] |= bit;
    }
    void clear_pending(int exception)
    {
        const auto e = static_cast<unsigned>(exception);
        const uint32_t bit = 1U << (e % 32);
        if (pending_bits_[e / 32] & bit) {
            --pending_count_;
            alone_ = 0;  // whichever is left pending alone, if one is, is not known here
        }
        pending_bits_[e / 32] &= ~bit;
    }
    bool pending(int exception) const { return (pending_bits_[exception / 32] >> (exception % 32)) & 1U; }
    bool enabled(int exception) const;
    bool active(int exception) const { return active_[exception]; }
    void set_enabled(int irq, bool on)
    {
        int e = exception_of_irq(irq);
        enabled_[e] = on;
        set_bit(enabled_bits_, e, on);
        set_bit(raisable_bits_, e, on);
        take_group_[e] = on ? group_[e] : kThreadPriority;
    }
    // Whether something can still raise `exception` while the core waits: an interrupt line can while it
    // is enabled in the NVIC (set_enabled()); a system exception that a model raises on its own (a
    // timer's) can while that model says so, as its interrupt enable changes.
    void set_raisable(int exception, bool on) { set_bit(raisable_bits_, exception, on); }

    // A peripheral's interrupt request line: while it is high the interrupt is pending, and it becomes
    // pending again on return from its handler if the line is still high.
    void set_line(int irq, bool high);
    bool line(int irq) const { return line_[irq]; }

    // Priority byte as stored (configurable exceptions: top nibble significant); fixed ones negative.
    int priority(int exception) const;
    void set_priority_byte(int exception, uint8_t value);
    uint8_t priority_byte(int exception) const { return priority_[exception]; }
    int group_priority(int exception) const { return group_[exception]; }

    void set_prigroup(uint32_t prigroup);
    uint32_t prigroup() const { return prigroup_; }

    bool primask() const { return primask_; }
    void set_primask(bool on);

    // The priority the core runs at: the best group priority of the active exceptions, 0 under PRIMASK.
    int execution_priority() const { return execution_priority_; }
    // The pending, enabled exception that would be taken now, or 0 if none beats the execution priority.
    // Inline for the commonest case by far, one exception pended alone (a periodic tick's), which is
    // decided without a call or a search. Under PRIMASK the execution priority is 0 or below, which no
    // configurable priority beats, so the one comparison also holds the exception off then.
    int next_to_take() const
    {
        if (pending_count_ == 1 && alone_ != 0) [[likely]]
            return take_group_[alone_] < execution_priority_ ? alone_ : 0;
        return next_to_take_of_all();
    }
    // Whether anything that can still be raised (raisable, above) would pre-empt the running code: what
    // halt detection asks of a wait.
    bool anything_can_preempt() const;

    // Inline: the tick is taken and returned from a thousand times a simulated second.
    void activate(int exception)
    {
        clear_pending(exception);
        active_[exception] = true;
        active_stack_[active_count_++] = exception;
        // One more active exception can only raise the execution priority (lower its number); under
        // PRIMASK it is already 0 or below, and the lower of the two is what recomputing would give.
        if (group_[exception] < execution_priority_) execution_priority_ = group_[exception];
    }
    void deactivate(int exception)
    {
        active_[exception] = false;
        // Exceptions return in the reverse order of entry, so the exception is on top of the stack.
        if (active_count_ > 0 && active_stack_[active_count_ - 1] == exception)
            --active_count_;
        else
            remove_active(exception);
        if (active_count_ == 0)
            execution_priority_ = primask_ ? 0 : kThreadPriority;
        else
            recompute_execution_priority();
        if (exception >= 16 && line_[exception - 16]) set_pending(exception);
    }
    int active_count() const { return active_count_; }
    // The exception being handled now, 0 at thread level.
    int innermost_active() const { return active_count_ ? active_stack_[active_count_ - 1] : 0; }

    bool any_pending() const { return pending_count_ > 0; }

    static std::string name(int exception);

private:
    // The hot path (a 1 kHz tick taken and returned millions of times a simulated day) must not scan all
    // 102 exceptions: pending ones are a bit set, active ones a stack in activation order, and the
    // execution priority is recomputed only when that stack, PRIMASK or a priority changes.
    static constexpr int kWords = (kExceptionCount + 31) / 32;
    void recompute_execution_priority();
    void remove_active(int exception);
    // next_to_take() among every pending bit.
    int next_to_take_of_all() const;
    static void set_bit(std::array<uint32_t, kWords>& bits, int exception, bool on)
    {
        const uint32_t bit = 1U << (exception % 32);
        bits[exception / 32] = on ? bits[exception / 32] | bit : bits[exception / 32] & ~bit;
    }

    std::array<uint32_t, kWords> pending_bits_{};
    void recompute_group(int exception);
    std::array<bool, kExceptionCount> enabled_{};
    std::array<uint32_t, kWords> enabled_bits_{0xFFFFU, 0, 0, 0};  // system exceptions always enabled
    std::array<uint32_t, kWords> raisable_bits_{};                 // see set_raisable()
    std::array<int16_t, kExceptionCount> group_{-3, -3, -2, -1};   // group priority, kept up to date
    // The group priority an exception is taken at: its own while enabled, none that beats any execution
    // priority while disabled (system exceptions are always enabled).
    std::array<int16_t, kExceptionCount> take_group_ = [] {
        std::array<int16_t, kExceptionCount> groups{-3, -3, -2, -1};
        for (int e = 16; e < kExceptionCount; ++e) groups[e] = kThreadPriority;
        return groups;
    }();
    std::array<bool, kExceptionCount> active_{};
    std::array<uint8_t, kExceptionCount> priority_{};
    std::array<bool, kIrqCount> line_{};
    std::array<int, kExceptionCount> active_stack_{};
    int pending_count_ = 0;
    int alone_ = 0;  // the exception pended while none other was, until a pending bit is cleared; else 0
    int active_count_ = 0;
    int execution_priority_ = kThreadPriority;
    uint32_t prigroup_ = 0;
    bool primask_ = false;
};

namespace nvic_reg {
// Eight words each, one bit per interrupt line.
inline constexpr uint32_t kIser = 0x000, kIcer = 0x080, kIspr = 0x100, kIcpr = 0x180, kIabr = 0x200;
inline constexpr uint32_t kIpr = 0x300;  // a byte per line, its top nibble implemented
}  // namespace nvic_reg

class NvicBlock : public Peripheral {
public:
    NvicBlock(const soc::Block& block, Exceptions& exceptions, Log& log);
    // The enables, pending and active bits and priorities are the exception state's, which the chip
    // resets with the core.
    void reset() override { regs_.reset(); }
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override { regs_.write(offset, value, width); }

private:
    enum class Bits : uint8_t { Enabled, Pending, Active };
    uint32_t bits_of_word(Bits which, unsigned word) const;
    // Calls `change(irq)` for every line set in `value`, a word of one of the eight-word groups.
    template <class Change>
    static void for_each_line(unsigned word, uint32_t value, Change change);
    void priorities_written(unsigned word);
    static std::span<const Register<NvicBlock>> register_table();

    Exceptions& exceptions_;
    RegisterMap<NvicBlock> regs_;
};

namespace scb_reg {
inline constexpr uint32_t kCpuid = 0x00, kIcsr = 0x04, kVtor = 0x08, kAircr = 0x0C, kScr = 0x10, kCcr = 0x14;
inline constexpr uint32_t kShpr1 = 0x18;  // SHPR1..3: a byte per system handler 4..15
inline constexpr uint32_t kShcsr = 0x24, kCpacr = 0x88;
// ICSR
inline constexpr Field kVectactive{0, 9};
inline constexpr uint32_t kPendstclr = 1U << 25, kPendstset = 1U << 26, kPendsvclr = 1U << 27;
inline constexpr uint32_t kPendsvset = 1U << 28;
// AIRCR: writes need the key in the top half; reads show 0xFA05 there.
inline constexpr Field kVectkey{16, 16}, kPrigroup{8, 3};
inline constexpr uint32_t kSysresetreq = 1U << 2;
inline constexpr uint32_t kVectkeyValue = 0x05FAU, kVectkeyRead = 0xFA05U;
}  // namespace scb_reg

class ScbBlock : public Peripheral {
public:
    ScbBlock(const soc::Block& block, Exceptions& exceptions, Log& log);
    uint32_t read(uint32_t offset, unsigned width) override { return regs_.read(offset, width); }
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override { regs_.write(offset, value, width); }
    void reset() override { regs_.reset(); }

    uint32_t cpacr() const { return regs_.at(scb_reg::kCpacr); }
    // Told when the firmware writes AIRCR with SYSRESETREQ (and the key): the chip resets the machine.
    void on_system_reset_request(std::function<void()> listener) { reset_request_ = std::move(listener); }

private:
    void aircr_written(uint32_t value, uint32_t before);
    static std::span<const Register<ScbBlock>> register_table();

    Exceptions& exceptions_;
    Log& log_;
    RegisterMap<ScbBlock> regs_;
    std::function<void()> reset_request_;
};

}  // namespace sim
