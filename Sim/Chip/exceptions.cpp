#include "exceptions.h"

#include <algorithm>
#include <cstdio>

namespace sim {

void Exceptions::reset()
{
    *this = Exceptions{};
}

bool Exceptions::enabled(int e) const
{
    return e < 16 ? true : enabled_[e];
}

void Exceptions::set_line(int irq, bool high)
{
    line_[irq] = high;
    if (high && !active_[exception_of_irq(irq)]) set_pending(exception_of_irq(irq));
}

void Exceptions::set_priority_byte(int e, uint8_t value)
{
    priority_[e] = value & 0xF0;  // four implemented bits, the top nibble
    recompute_group(e);
    recompute_execution_priority();
}

void Exceptions::set_prigroup(uint32_t prigroup)
{
    prigroup_ = prigroup & 7U;
    for (int e = 0; e < kExceptionCount; ++e) recompute_group(e);
    recompute_execution_priority();
}

void Exceptions::recompute_group(int e)
{
    int p = priority(e);
    // PRIGROUP g splits the byte at bit g: bits [7:g+1] are the group (pre-emption) priority.
    group_[e] = static_cast<int16_t>(
        p < 0 ? p : static_cast<int>(static_cast<uint32_t>(p) & (0xFFU << (prigroup_ + 1U)) & 0xFFU));
    take_group_[e] = enabled(e) ? group_[e] : static_cast<int16_t>(kThreadPriority);
}

void Exceptions::set_primask(bool on)
{
    primask_ = on;
    recompute_execution_priority();
}

int Exceptions::priority(int e) const
{
    switch (e) {
        case 1:
            return -3;  // Reset
        case 2:
            return -2;  // NMI
        case 3:
            return -1;  // HardFault
        default:
            return priority_[e];
    }
}

void Exceptions::recompute_execution_priority()
{
    int running = kThreadPriority;
    for (int i = 0; i < active_count_; ++i) running = std::min(running, static_cast<int>(group_[active_stack_[i]]));
    if (primask_ && running > 0) running = 0;
    execution_priority_ = running;
}

int Exceptions::next_to_take_of_all() const
{
    if (pending_count_ == 0) return 0;
    int best = 0;
    int best_priority = 0;
    for (int w = 0; w < kWords; ++w) {
        for (uint32_t bits = pending_bits_[w] & enabled_bits_[w]; bits != 0; bits &= bits - 1U) {
            const int e = w * 32 + __builtin_ctz(bits);
            const int p = priority(e);
            if (best == 0 || p < best_priority) {
                best = e;
                best_priority = p;
            }
        }
    }
    if (best == 0) return 0;
    // Under PRIMASK nothing of configurable priority is taken, even at thread level.
    if (primask_ && best_priority >= 0) return 0;
    return group_[best] < execution_priority_ ? best : 0;
}

bool Exceptions::anything_can_preempt() const
{
    if (primask_) return false;
    for (int w = 0; w < kWords; ++w)
        for (uint32_t bits = raisable_bits_[w]; bits != 0; bits &= bits - 1U)
            if (group_[w * 32 + __builtin_ctz(bits)] < execution_priority_) return true;
    return false;
}

void Exceptions::remove_active(int e)
{
    for (int i = 0; i < active_count_; ++i)
        if (active_stack_[i] == e) {
            for (int j = i; j + 1 < active_count_; ++j) active_stack_[j] = active_stack_[j + 1];
            --active_count_;
            return;
        }
}

std::string Exceptions::name(int e)
{
    static const char* const kSystem[16] = {
        "Thread",    "Reset",     "NMI",        "HardFault", "MemManage",    "BusFault",   "UsageFault", "Reserved7",
        "Reserved8", "Reserved9", "Reserved10", "SVCall",    "DebugMonitor", "Reserved13", "PendSV",     "SysTick"};
    if (e < 16) return kSystem[e];
    char text[16];
    std::snprintf(text, sizeof text, "IRQ %d", e - 16);
    return text;
}

// ---------------------------------------------------------------------------------------------------

NvicBlock::NvicBlock(const soc::Block& block, Exceptions& exceptions, Log& log)
    : Peripheral(block), exceptions_(exceptions), regs_(*this, *this, register_table(), log)
{}

uint32_t NvicBlock::bits_of_word(Bits which, unsigned word) const
{
    uint32_t value = 0;
    for (int bit = 0; bit < 32; ++bit) {
        const int irq = static_cast<int>(word) * 32 + bit;
        if (irq >= kIrqCount) break;
        const int e = exception_of_irq(irq);
        const bool set = which == Bits::Enabled   ? exceptions_.enabled(e)
                         : which == Bits::Pending ? exceptions_.pending(e)
                                                  : exceptions_.active(e);
        if (set) value |= 1U << bit;
    }
    return value;
}

template <class Change>
void NvicBlock::for_each_line(unsigned word, uint32_t value, Change change)
{
    for (int bit = 0; bit < 32; ++bit) {
        const int irq = static_cast<int>(word) * 32 + bit;
        if (irq >= kIrqCount) break;
        if (value & (1U << bit)) change(irq);
    }
}

// A priority word was written (a byte lane or the whole word): its four lines take their bytes.
void NvicBlock::priorities_written(unsigned word)
{
    uint32_t& stored = regs_.at(nvic_reg::kIpr, word);
    for (unsigned lane = 0; lane < 4; ++lane) {
        const int irq = static_cast<int>(word * 4 + lane);
        if (irq < kIrqCount)
            exceptions_.set_priority_byte(exception_of_irq(irq), static_cast<uint8_t>(stored >> (8 * lane)));
        else
            stored &= ~(0xFFU << (8 * lane));  // no such line: reads 0
    }
}

std::span<const Register<NvicBlock>> NvicBlock::register_table()
{
    using namespace nvic_reg;
    using N = NvicBlock;
    // The set and clear registers read the same state; writing 1 sets or clears, writing 0 does nothing.
    static constexpr Register<N> kTable[] = {
        {.offset = kIser,
         .name = "ISER",
         .writable = 0,
         .on_read = [](N& n, unsigned w) { return n.bits_of_word(Bits::Enabled, w); },
         .on_write = [](N& n, unsigned w, uint32_t value,
                        uint32_t) { for_each_line(w, value, [&n](int irq) { n.exceptions_.set_enabled(irq, true); }); },
         .count = 8},
        {.offset = kIcer,
         .name = "ICER",
         .writable = 0,
         .on_read = [](N& n, unsigned w) { return n.bits_of_word(Bits::Enabled, w); },
         .on_write =
             [](N& n, unsigned w, uint32_t value, uint32_t) {
                 for_each_line(w, value, [&n](int irq) { n.exceptions_.set_enabled(irq, false); });
             },
         .count = 8},
        {.offset = kIspr,
         .name = "ISPR",
         .writable = 0,
         .on_read = [](N& n, unsigned w) { return n.bits_of_word(Bits::Pending, w); },
         .on_write =
             [](N& n, unsigned w, uint32_t value, uint32_t) {
                 for_each_line(w, value, [&n](int irq) { n.exceptions_.set_pending(exception_of_irq(irq)); });
             },
         .count = 8},
        {.offset = kIcpr,
         .name = "ICPR",
         .writable = 0,
         .on_read = [](N& n, unsigned w) { return n.bits_of_word(Bits::Pending, w); },
         .on_write =
             [](N& n, unsigned w, uint32_t value, uint32_t) {
                 for_each_line(w, value, [&n](int irq) { n.exceptions_.clear_pending(exception_of_irq(irq)); });
             },
         .count = 8},
        // Read-only.
        {.offset = kIabr,
         .name = "IABR",
         .writable = 0,
         .on_read = [](N& n, unsigned w) { return n.bits_of_word(Bits::Active, w); },
         .count = 8},
        {.offset = kIpr,
         .name = "IPR",
         .writable = 0xF0F0F0F0U,
         .on_write = [](N& n, unsigned w, uint32_t, uint32_t) { n.priorities_written(w); },
         .count = 60},
    };
    return kTable;
}

// ---------------------------------------------------------------------------------------------------

ScbBlock::ScbBlock(const soc::Block& block, Exceptions& exceptions, Log& log)
    : Peripheral(block), exceptions_(exceptions), log_(log), regs_(*this, *this, register_table(), log)
{}

// Without the key 0x05FA in the top half the write is ignored, as on the core.
void ScbBlock::aircr_written(uint32_t value, uint32_t before)
{
    using namespace scb_reg;
    uint32_t& aircr = regs_.at(kAircr);
    if (kVectkey.get(value) != kVectkeyValue) {
        log_.line("SCB: AIRCR write without VECTKEY ignored");
        aircr = before;
        return;
    }
    exceptions_.set_prigroup(kPrigroup.get(value));
    if ((value & kSysresetreq) && reset_request_) reset_request_();
}

std::span<const Register<ScbBlock>> ScbBlock::register_table()
{
    using namespace scb_reg;
    using S = ScbBlock;
    static constexpr Register<S> kTable[] = {
        {.offset = kCpuid, .name = "CPUID", .reset = 0x410FC241U, .writable = 0},  // Cortex-M4 r0p1
        // The active exception and the SysTick and PendSV pending bits, from the exception state.
        {.offset = kIcsr,
         .name = "ICSR",
         .writable = 0,
         .on_read =
             [](S& s, unsigned) {
                 uint32_t icsr = kVectactive.of(static_cast<uint32_t>(s.exceptions_.innermost_active()));
                 if (s.exceptions_.pending(kSysTickException)) icsr |= kPendstset;
                 if (s.exceptions_.pending(kPendSVException)) icsr |= kPendsvset;
                 return icsr;
             },
         .on_write =
             [](S& s, unsigned, uint32_t value, uint32_t) {
                 if (value & kPendstset) s.exceptions_.set_pending(kSysTickException);
                 if (value & kPendstclr) s.exceptions_.clear_pending(kSysTickException);
                 if (value & kPendsvset) s.exceptions_.set_pending(kPendSVException);
                 if (value & kPendsvclr) s.exceptions_.clear_pending(kPendSVException);
             }},
        {.offset = kVtor, .name = "VTOR", .writable = 0xFFFFFF80U},
        // ENDIANNESS (bit 15) and PRIGROUP are kept; the key reads back reversed.
        {.offset = kAircr,
         .name = "AIRCR",
         .writable = 0x8700U,
         .on_read =
             [](S& s, unsigned) {
                 return kVectkey.of(kVectkeyRead) | kPrigroup.of(s.exceptions_.prigroup()) |
                        (s.regs_.at(kAircr) & 0x8000U);
             },
         .on_write = [](S& s, unsigned, uint32_t value, uint32_t before) { s.aircr_written(value, before); }},
        {.offset = kScr, .name = "SCR", .writable = 0x16U},
        {.offset = kCcr, .name = "CCR", .reset = 0x200U, .writable = 0x31BU},  // STKALIGN set at reset
        // System handler priorities, a byte each (handlers 4..15), kept in the exception state.
        {.offset = kShpr1,
         .name = "SHPR",
         .on_read =
             [](S& s, unsigned word) {
                 uint32_t value = 0;
                 for (unsigned lane = 0; lane < 4; ++lane)
                     value |= static_cast<uint32_t>(s.exceptions_.priority_byte(static_cast<int>(4 + word * 4 + lane)))
                              << (8 * lane);
                 return value;
             },
         .on_write =
             [](S& s, unsigned word, uint32_t, uint32_t) {
                 const uint32_t stored = s.regs_.at(kShpr1, word);
                 for (unsigned lane = 0; lane < 4; ++lane)
                     s.exceptions_.set_priority_byte(static_cast<int>(4 + word * 4 + lane),
                                                     static_cast<uint8_t>(stored >> (8 * lane)));
             },
         .count = 3},
        {.offset = kShcsr, .name = "SHCSR"},
        {.offset = kCpacr, .name = "CPACR"},  // kept whole, so a test can see which bits the firmware touched
    };
    return kTable;
}

}  // namespace sim
