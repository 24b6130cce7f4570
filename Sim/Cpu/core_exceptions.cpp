#include "core_exceptions.h"

#include <cstring>

#include "core_frame.h"
#include "flash_timing.h"
#include "hex_text.h"
#include "instruction_timing.h"

namespace sim::cpu {

ExceptionModel::ExceptionModel(CoreEngine& engine, Chip& chip, RunState& state, bool short_handlers,
                               InterruptLandings* landings)
    : engine_(engine), chip_(chip), state_(state), short_handlers_enabled_(short_handlers), landings_(landings)
{}

ExceptionModel::Frame ExceptionModel::read_frame() const
{
    static int registers[8] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3,
                               UC_ARM_REG_R12, UC_ARM_REG_LR, UC_ARM_REG_SP, UC_ARM_REG_XPSR};
    Frame frame{};
    void* values[8] = {&frame.r0, &frame.r1, &frame.r2, &frame.r3, &frame.r12, &frame.lr, &frame.sp, &frame.xpsr};
    uc_reg_read_batch(engine_.uc(), registers, values, 8);
    return frame;
}

uint32_t ExceptionModel::vector_of(int exception) const
{
    const uint32_t vector_base = chip_.scb.read(0x08, 4);  // VTOR
    const uint8_t* entry = engine_.at(vector_base + 4U * static_cast<uint32_t>(exception), 4);
    return entry ? word_at(entry) : 0;
}

std::optional<uint32_t> ExceptionModel::stack(const Frame& frame, int exception, uint32_t return_address)
{
    // The 8-word frame, on an 8-byte boundary (CCR.STKALIGN is set from reset); xPSR bit 9 records the
    // 4 bytes of padding so that the return can take them back.
    const uint32_t xpsr = frame.xpsr | kThumbBit;
    const uint32_t at = (frame.sp - 32U) & ~7U;
    const uint32_t words[8] = {
        frame.r0,  frame.r1, frame.r2,       frame.r3,
        frame.r12, frame.lr, return_address, (frame.sp & 4U) ? (xpsr | kFrameRealigned) : (xpsr & ~kFrameRealigned)};
    uint8_t* to = engine_.memory().ram_at(at, sizeof words);
    if (to == nullptr) {
        state_.halt("lockup: stack overflow: the frame of exception " + Exceptions::name(exception) + " at " +
                    hex_text(at) + " lies outside RAM (pc " + hex_text(return_address) + ")");
        engine_.stop();
        return std::nullopt;
    }
    std::memcpy(to, words, sizeof words);
    return at;
}

void ExceptionModel::enter(int exception, uint32_t return_address)
{
    uint32_t vector = vector_of(exception);
    if ((vector & 1U) == 0) {
        // The core fetches the vector and finds no Thumb address: an INVSTATE UsageFault, escalated.
        std::string what = "exception " + Exceptions::name(exception) + "'s vector is " + hex_text(vector);
        if (exception == kHardFaultException)
            state_.halt("lockup: " + what);
        else
            fault("UsageFault (INVSTATE): " + what, return_address);
        if (state_.ended()) engine_.stop();
        return;
    }

    const Frame frame = read_frame();
    const std::optional<uint32_t> at = stack(frame, exception, return_address);
    if (!at) return;
    const bool from_thread = chip_.exceptions().innermost_active() == 0;
    if (observer_) observer_->exception_entry(exception, vector & ~1U, chip_.core_cycles());
    chip_.exceptions().activate(exception);
    ++state_.counts().exceptions;
    state_.watch().forget();
    // EXC_RETURN: back to thread mode on the main stack, or to the interrupted handler.
    static int registers[5] = {UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_XPSR, UC_ARM_REG_R12, UC_ARM_REG_PC};
    uint32_t sp = *at;
    uint32_t lr = from_thread ? 0xFFFFFFF9U : 0xFFFFFFF1U;
    uint32_t xpsr =
        ((frame.xpsr | kThumbBit) & ~(kItBits | kExceptionNumber | kFrameRealigned)) | static_cast<uint32_t>(exception);
    uint32_t pc = kStubBase | 1U;
    void* values[5] = {&sp, &lr, &xpsr, &vector, &pc};
    uc_reg_write_batch(engine_.uc(), registers, values, 5);
    state_.owe(cycles_to_picos(timing::kExceptionEntry, state_.cycle_period()));
    state_.flow_broken();
}

const ShortHandler* ExceptionModel::short_handler(int exception)
{
    const uint32_t vector = vector_of(exception);
    // Code in flash only, which nothing but a debugger changes (and then the decoding goes with it).
    if ((vector & 1U) == 0 || !(in_range(vector, kFlashBase, kFlashSize) || in_range(vector, kFlashAlias, kFlashSize)))
        return nullptr;
    for (const auto& [at, handler] : short_handlers_)
        if (at == vector) return handler ? &*handler : nullptr;
    short_handlers_.emplace_back(vector, ShortHandler::decode(vector, engine_.memory()));
    return short_handlers_.back().second ? &*short_handlers_.back().second : nullptr;
}

bool ExceptionModel::take_short(int exception, uint32_t return_address, const Frame& frame)
{
    // A debugger's step or breakpoint must see the handler run instruction by instruction.
    if (!short_handlers_enabled_ || state_.under_debugger()) return false;
    const ShortHandler* handler = short_handler(exception);
    if (handler == nullptr) return false;
    // On the engine, time is charged at the handler's block starts and an event due then could pend an
    // exception that pre-empts it: only when none falls due before its return is it all one step.
    // Its flash reads stall it by at most a read's wait each (what they do stall is known only once the
    // accelerator has been asked, which changes it).
    const Picos now = chip_.now();
    FlashAccelerator& flash = chip_.flash.accelerator();
    const Cycles run = timing::kExceptionEntry + Cycles{handler->cycles()} + timing::kExceptionReturn;
    const Picos longest =
        now +
        cycles_to_picos(run + Cycles{static_cast<uint32_t>(handler->flash_reads().size()) * flash.settings().latency},
                        state_.cycle_period());
    if (state_.owes_time() || chip_.scheduler().next_time() < longest || longest >= state_.limit()) return false;
    const std::optional<uint32_t> at = stack(frame, exception, return_address);
    if (!at || !handler->run(engine_.memory(), *at)) return false;
    chip_.exceptions().activate(exception);
    chip_.exceptions().deactivate(exception);
    ++state_.counts().exceptions;
    ++state_.counts().short_exceptions;
    state_.watch().forget();
    state_.count_executed(handler->instructions());
    const Cycles from = chip_.core_cycles();
    chip_.run_until(now +
                    cycles_to_picos(run + Cycles{flash_stalls(handler->flash_reads(), flash)}, state_.cycle_period()));
    if (observer_) observer_->short_exception(exception, vector_of(exception) & ~1U, from, chip_.core_cycles());
    return true;
}

bool ExceptionModel::take_pending(uint32_t return_address, bool engine_only)
{
    Exceptions& exceptions = chip_.exceptions();
    if (!exceptions.any_pending()) return false;
    exceptions.set_primask(engine_.reg(UC_ARM_REG_PRIMASK) & 1U);
    std::optional<Frame> frame;  // the registers at the boundary, read once
    while (int e = exceptions.next_to_take()) {
        if (!frame) frame = read_frame();
        if (landings_) landings_->record(e, return_address, chip_.now());
        if (!engine_only && take_short(e, return_address, *frame)) continue;
        enter(e, return_address);
        return true;
    }
    return state_.ended();
}

void ExceptionModel::return_from_exception()
{
    Exceptions& exceptions = chip_.exceptions();
    int exception = exceptions.innermost_active();
    uint32_t sp = engine_.reg(UC_ARM_REG_SP);
    const uint8_t* from = in_range(sp, kRamBase, kRamSize) ? engine_.at(sp, 32) : nullptr;
    if (exception == 0 || from == nullptr) {
        state_.halt(exception == 0 ? "exception return at thread level"
                                   : "lockup: exception frame at " + hex_text(sp) + " outside RAM");
        engine_.stop();
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
    uc_reg_write_batch(engine_.uc(), registers, values, 9);
    exceptions.deactivate(exception);
    state_.watch().forget();
    if (exception == kHardFaultException) fault_reason_.clear();
    state_.owe(cycles_to_picos(timing::kExceptionReturn, state_.cycle_period()));
    state_.flow_broken();
    if (observer_) observer_->exception_return();
}

void ExceptionModel::fault(const std::string& what, uint32_t pc)
{
    std::string reason = what + " at pc " + hex_text(pc);
    if (chip_.exceptions().active(kHardFaultException)) {
        state_.halt("lockup: " + reason + ", inside the HardFault handler");
        engine_.stop();
        return;
    }
    fault_reason_ = "HardFault: " + reason;
    last_fault_block_ = 0;
    enter(kHardFaultException, pc);
}

// Inside HardFault nothing but NMI can pre-empt: a block repeated with no bus access in between is a loop
// nothing will leave.
void ExceptionModel::watch_fault_handler(uint32_t address)
{
    uint64_t accesses = chip_.access_count();
    // With the watchdog counting, a fault handler's loop ends in its reset: not a halt.
    if (last_fault_block_ == address && last_fault_accesses_ == accesses && !chip_.watchdog_running()) {
        // A HardFault pended from outside (an injected fault) has no reason of the core's own.
        state_.halt(fault_reason_.empty() ? "HardFault: the handler loops" : fault_reason_);
        engine_.stop();
        return;
    }
    last_fault_block_ = address;
    last_fault_accesses_ = accesses;
}

}  // namespace sim::cpu
