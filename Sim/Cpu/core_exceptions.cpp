// The Cortex-M exception model: the frame stacked and unstacked as the core does it, entry through the
// stub into the handler on the engine, and the short handlers taken without it.
#include <unicorn/unicorn.h>

#include "core_frame.h"
#include "cost_model.h"
#include "hex_text.h"
#include "image_runner.h"

namespace sim::cpu {

ImageRunner::Frame ImageRunner::read_frame() const
{
    static int registers[8] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3,
                               UC_ARM_REG_R12, UC_ARM_REG_LR, UC_ARM_REG_SP, UC_ARM_REG_XPSR};
    Frame frame{};
    void* values[8] = {&frame.r0, &frame.r1, &frame.r2, &frame.r3, &frame.r12, &frame.lr, &frame.sp, &frame.xpsr};
    uc_reg_read_batch(uc_, registers, values, 8);
    return frame;
}

std::optional<uint32_t> ImageRunner::stack(const Frame& frame, int exception, uint32_t return_address)
{
    // The 8-word frame, on an 8-byte boundary (CCR.STKALIGN is set from reset); xPSR bit 9 records the
    // 4 bytes of padding so that the return can take them back.
    const uint32_t xpsr = frame.xpsr | kThumbBit;
    const uint32_t at = (frame.sp - 32U) & ~7U;
    const uint32_t words[8] = {frame.r0, frame.r1,       frame.r2,
                               frame.r3, frame.r12,      frame.lr,
                               return_address, (frame.sp & 4U) ? (xpsr | kFrameRealigned) : (xpsr & ~kFrameRealigned)};
    uint8_t* to = memory_.ram_at(at, sizeof words);
    if (to == nullptr) {
        halt("lockup: stack overflow: the frame of exception " + Exceptions::name(exception) + " at " + hex_text(at) +
             " lies outside RAM (pc " + hex_text(return_address) + ")");
        uc_emu_stop(uc_);
        return std::nullopt;
    }
    std::memcpy(to, words, sizeof words);
    return at;
}

void ImageRunner::enter_exception(int exception, uint32_t return_address)
{
    uint32_t vector_base = chip_.scb.read(0x08, 4);  // VTOR
    const uint8_t* entry = host_pointer(vector_base + 4U * static_cast<uint32_t>(exception), 4);
    uint32_t vector = entry ? word_at(entry) : 0;
    if ((vector & 1U) == 0) {
        // The core fetches the vector and finds no Thumb address: an INVSTATE UsageFault, escalated.
        std::string what = "exception " + Exceptions::name(exception) + "'s vector is " + hex_text(vector);
        if (exception == kHardFaultException)
            halt("lockup: " + what);
        else
            fault("UsageFault (INVSTATE): " + what, return_address);
        if (end_) uc_emu_stop(uc_);
        return;
    }

    const Frame frame = read_frame();
    const std::optional<uint32_t> at = stack(frame, exception, return_address);
    if (!at) return;
    const bool from_thread = chip_.exceptions().innermost_active() == 0;
    chip_.exceptions().activate(exception);
    ++counts_.exceptions;
    watch_.forget();
    // EXC_RETURN: back to thread mode on the main stack, or to the interrupted handler.
    static int registers[5] = {UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_XPSR, UC_ARM_REG_R12, UC_ARM_REG_PC};
    uint32_t sp = *at;
    uint32_t lr = from_thread ? 0xFFFFFFF9U : 0xFFFFFFF1U;
    uint32_t xpsr = ((frame.xpsr | kThumbBit) & ~(kItBits | kExceptionNumber | kFrameRealigned)) |
                    static_cast<uint32_t>(exception);
    uint32_t pc = kStubBase | 1U;
    void* values[5] = {&sp, &lr, &xpsr, &vector, &pc};
    uc_reg_write_batch(uc_, registers, values, 5);
    owed_ += cycles_to_picos(cost::kExceptionEntry, cycle_period());
}

const ShortHandler* ImageRunner::short_handler(int exception)
{
    const uint8_t* entry = host_pointer(chip_.scb.read(0x08, 4) + 4U * static_cast<uint32_t>(exception), 4);
    if (entry == nullptr) return nullptr;
    const uint32_t vector = word_at(entry);
    // Code in flash only, which nothing but a debugger changes (and then the decoding goes with it).
    if ((vector & 1U) == 0 || !(in_range(vector, kFlashBase, kFlashSize) || in_range(vector, kFlashAlias, kFlashSize)))
        return nullptr;
    for (const auto& [at, handler] : short_handlers_)
        if (at == vector) return handler ? &*handler : nullptr;
    short_handlers_.emplace_back(vector, ShortHandler::decode(vector, memory_));
    return short_handlers_.back().second ? &*short_handlers_.back().second : nullptr;
}

bool ImageRunner::take_short(int exception, uint32_t return_address, const Frame& frame)
{
    // A debugger's step or breakpoint must see the handler run instruction by instruction.
    if (!options_.short_handlers || stepping_ || !breakpoints_.empty()) return false;
    const ShortHandler* handler = short_handler(exception);
    if (handler == nullptr) return false;
    // On the engine, time is charged at the handler's block starts and an event due then could pend an
    // exception that pre-empts it: only when none falls due before its return is it all one step.
    const Picos now = chip_.now();
    const Picos end =
        now + cycles_to_picos(cost::kExceptionEntry + Cycles{handler->instructions()} + cost::kExceptionReturn,
                              cycle_period());
    if (owed_ != 0 || chip_.scheduler().next_time() < end || end >= limit_) return false;
    const std::optional<uint32_t> at = stack(frame, exception, return_address);
    if (!at || !handler->run(memory_, *at)) return false;
    chip_.exceptions().activate(exception);
    chip_.exceptions().deactivate(exception);
    ++counts_.exceptions;
    ++counts_.short_exceptions;
    watch_.forget();
    instructions_ += handler->instructions();
    chip_.run_until(end);
    return true;
}

void ImageRunner::return_from_exception()
{
    Exceptions& exceptions = chip_.exceptions();
    int exception = exceptions.innermost_active();
    uint32_t sp = reg(UC_ARM_REG_SP);
    const uint8_t* from = in_range(sp, kRamBase, kRamSize) ? host_pointer(sp, 32) : nullptr;
    if (exception == 0 || from == nullptr) {
        halt(exception == 0 ? "exception return at thread level"
                            : "lockup: exception frame at " + hex_text(sp) + " outside RAM");
        uc_emu_stop(uc_);
        return;
    }
    uint32_t words[8];
    std::memcpy(words, from, sizeof words);
    static int registers[9] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,   UC_ARM_REG_R3, UC_ARM_REG_R12,
                               UC_ARM_REG_LR, UC_ARM_REG_SP, UC_ARM_REG_XPSR, UC_ARM_REG_PC};
    uint32_t new_sp = sp + 32U + ((words[7] & kFrameRealigned) ? 4U : 0U);
    uint32_t xpsr = words[7] & ~kFrameRealigned;
    uint32_t pc = words[6] | 1U;
    void* values[9] = {&words[0], &words[1], &words[2], &words[3], &words[4], &words[5], &new_sp, &xpsr, &pc};
    uc_reg_write_batch(uc_, registers, values, 9);
    exceptions.deactivate(exception);
    watch_.forget();
    if (exception == kHardFaultException) fault_reason_.clear();
    owed_ += cycles_to_picos(cost::kExceptionReturn, cycle_period());
}

}  // namespace sim::cpu
