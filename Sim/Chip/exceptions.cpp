#include "exceptions.h"

#include <algorithm>
#include <cstdio>

namespace sim {

void Exceptions::reset()
{
    *this = Exceptions{};
}

void Exceptions::set_pending(int e)
{
    uint32_t bit = 1U << (e % 32);
    if (!(pending_bits_[e / 32] & bit)) ++pending_count_;
    pending_bits_[e / 32] |= bit;
}

void Exceptions::clear_pending(int e)
{
    uint32_t bit = 1U << (e % 32);
    if (pending_bits_[e / 32] & bit) --pending_count_;
    pending_bits_[e / 32] &= ~bit;
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

int Exceptions::next_to_take() const
{
    if (pending_count_ == 0) return 0;
    int best = 0;
    for (int w = 0; w < kWords; ++w) {
        for (uint32_t bits = pending_bits_[w] & enabled_bits_[w]; bits != 0; bits &= bits - 1U) {
            int e = w * 32 + __builtin_ctz(bits);
            if (best == 0 || priority(e) < priority(best)) best = e;
        }
    }
    if (best == 0) return 0;
    // Under PRIMASK nothing of configurable priority is taken, even at thread level.
    if (primask_ && priority(best) >= 0) return 0;
    return group_[best] < execution_priority_ ? best : 0;
}

bool Exceptions::anything_can_preempt(bool systick_running) const
{
    if (primask_) return false;
    if (systick_running && group_priority(kSysTickException) < execution_priority_) return true;
    for (int irq = 0; irq < kIrqCount; ++irq) {
        int e = exception_of_irq(irq);
        if (enabled_[e] && group_priority(e) < execution_priority_) return true;
    }
    return false;
}

void Exceptions::activate(int e)
{
    clear_pending(e);
    active_[e] = true;
    active_stack_[active_count_++] = e;
    recompute_execution_priority();
}

void Exceptions::deactivate(int e)
{
    active_[e] = false;
    // Exceptions return in the reverse order of entry, so e is on top of the stack.
    if (active_count_ > 0 && active_stack_[active_count_ - 1] == e)
        --active_count_;
    else
        for (int i = 0; i < active_count_; ++i)
            if (active_stack_[i] == e) {
                for (int j = i; j + 1 < active_count_; ++j) active_stack_[j] = active_stack_[j + 1];
                --active_count_;
                break;
            }
    recompute_execution_priority();
    if (e >= 16 && line_[e - 16]) set_pending(e);
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
    : Peripheral(block), exceptions_(exceptions), log_(log)
{}

void ScbBlock::reset()
{
    aircr_ = 0;
    vtor_ = 0;
    scr_ = 0;
    ccr_ = 0x200;
    shcsr_ = 0;
    cpacr_ = 0;
}

uint32_t ScbBlock::read(uint32_t offset, unsigned width)
{
    if (offset >= 0x18 && offset < 0x24) {
        uint32_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value |= static_cast<uint32_t>(exceptions_.priority_byte(static_cast<int>(4 + offset - 0x18 + i)))
                     << (8 * i);
        return value;
    }
    switch (offset) {
        case 0x00:
            return 0x410FC241U;  // CPUID: Cortex-M4 r0p1
        case 0x04: {
            uint32_t icsr = static_cast<uint32_t>(exceptions_.innermost_active()) & 0x1FFU;
            if (exceptions_.pending(kSysTickException)) icsr |= 1U << 26;
            if (exceptions_.pending(kPendSVException)) icsr |= 1U << 28;
            return icsr;
        }
        case 0x08:
            return vtor_;
        case 0x0C:
            return 0xFA050000U | (exceptions_.prigroup() << 8) | (aircr_ & 0x8000U);
        case 0x10:
            return scr_;
        case 0x14:
            return ccr_;
        case 0x24:
            return shcsr_;
        case 0x88:
            return cpacr_;
        default:
            log_.line("SCB: read of unmodelled offset " + std::to_string(offset));
            return 0;
    }
}

void ScbBlock::write(uint32_t offset, uint32_t value, unsigned width)
{
    if (offset >= 0x18 && offset < 0x24) {
        for (unsigned i = 0; i < width; ++i)
            exceptions_.set_priority_byte(static_cast<int>(4 + offset - 0x18 + i),
                                          static_cast<uint8_t>(value >> (8 * i)));
        return;
    }
    switch (offset) {
        case 0x04:
            if (value & (1U << 26)) exceptions_.set_pending(kSysTickException);
            if (value & (1U << 25)) exceptions_.clear_pending(kSysTickException);
            if (value & (1U << 28)) exceptions_.set_pending(kPendSVException);
            if (value & (1U << 27)) exceptions_.clear_pending(kPendSVException);
            return;
        case 0x08:
            vtor_ = value & 0xFFFFFF80U;
            return;
        case 0x0C:
            // Without the key 0x05FA in the top half the write is ignored, as on the core.
            if ((value >> 16) != 0x05FAU) {
                log_.line("SCB: AIRCR write without VECTKEY ignored");
                return;
            }
            exceptions_.set_prigroup((value >> 8) & 7U);
            aircr_ = value & 0x8700U;
            return;
        case 0x10:
            scr_ = value & 0x16U;
            return;
        case 0x14:
            ccr_ = value & 0x31BU;
            return;
        case 0x24:
            shcsr_ = value;
            return;
        case 0x88:
            cpacr_ = value;
            return;  // kept whole, so a test can see which bits the firmware touched
        default:
            log_.line("SCB: write to unmodelled offset " + std::to_string(offset));
            return;
    }
}

}  // namespace sim
