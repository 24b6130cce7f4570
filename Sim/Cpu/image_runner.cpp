#include "image_runner.h"

#include <cstring>
#include <string>

#include "core_frame.h"
#include "hex_text.h"
#include "memory_map.h"

namespace sim::cpu {

ImageRunner::ImageRunner(Chip& chip, const ElfImage& image, RunnerOptions options)
    : chip_(chip),
      options_(options),
      engine_(image),
      state_(chip, engine_),
      exceptions_(engine_, chip, state_, options.short_handlers, options.landings),
      faults_(engine_, chip, state_, exceptions_, blocks_),
      bridge_(chip, state_, engine_),
      skipper_(engine_, chip, state_, exceptions_),
      debug_(engine_, chip, state_, exceptions_, faults_, blocks_)
{
    engine_.route(*this, bridge_);
    chip_.attach_core(&bridge_);
    reset();
}

ImageRunner::~ImageRunner()
{
    chip_.attach_core(nullptr);
}

void ImageRunner::reset(bool keep_ram)
{
    if (!keep_ram) engine_.clear_ram();
    state_.reset();
    skipper_.forget();
    exceptions_.reset();
    // The core's own blocks go back to their reset state with it: no exception active or pending, no
    // priorities, SysTick stopped, the cycle counter off. (The chip's peripherals keep theirs.)
    chip_.exceptions().reset();
    chip_.scb.reset();
    chip_.systick.reset();
    chip_.dwt.reset();
    chip_.core_debug.reset();
    // Booting from flash: word 0 of the vector table is the initial main stack pointer, word 1 the reset
    // vector (a Thumb address).
    engine_.set_reg(UC_ARM_REG_XPSR, kThumbBit);
    engine_.set_reg(UC_ARM_REG_SP, engine_.flash_word(0));
    engine_.set_reg(UC_ARM_REG_PC, engine_.flash_word(4));
}

bool ImageRunner::read_memory(uint32_t address, void* out, uint32_t size) const
{
    const uint8_t* from = engine_.at(address, size);
    if (from == nullptr) return false;
    std::memcpy(out, from, size);
    return true;
}

RunEnd ImageRunner::run(Picos limit)
{
    chip_.set_time_limit(limit);
    state_.begin_run();
    while (!state_.ended()) {
        faults_.clear_reported();
        ++state_.counts().engine_starts;
        const std::optional<BlockInfo::Boundary> split = state_.split();
        const uint32_t start = engine_.reg(UC_ARM_REG_PC);
        // The block is translated again to stop at the boundary, and once more after it, whole.
        if (split) {
            engine_.drop_translation(split->pc, split->pc + 2);
            state_.start_split();
        }
        uc_err err = engine_.start(start, 0, split ? split->pc : CoreEngine::kNoExit);
        if (split) {
            ++state_.counts().splits;
            engine_.drop_translation(start, split->pc);
            state_.end_split(engine_.reg(UC_ARM_REG_PC));
            if (err == UC_ERR_OK && !state_.ended() && !skipper_.pending()) continue;
        }
        if (state_.ended()) break;
        if (chip_.reset_pending() || chip_.held_in_reset()) {
            if (!restart()) break;
            continue;
        }
        if (state_.splitting() && err == UC_ERR_OK) continue;  // stopped before a block to run it in two
        if (skipper_.pending()) {
            skipper_.skip_pending();
            continue;
        }
        if (faults_.raise_reported(err)) continue;
        uint32_t pc = engine_.reg(UC_ARM_REG_PC);
        uint16_t previous = 0;
        read_memory(pc - 2, &previous, 2);
        if (err == UC_ERR_OK && (previous == kWfi || previous == kWfe)) {
            try {
                sleep();
            } catch (const std::exception& error) {
                state_.end_run(state_.end_of(error));
            }
            continue;
        }
        if (err == UC_ERR_OK && debug_.at_breakpoint(pc))
            state_.end_run(RunEnd{RunEnd::Kind::Stopped, "breakpoint at " + hex_text(pc), chip_.now()});
        else if (err != UC_ERR_OK)
            state_.end_run(RunEnd{RunEnd::Kind::Failure,
                                  std::string("the engine stopped: ") + uc_strerror(err) + " at pc " +
                                      hex_text(engine_.reg(UC_ARM_REG_PC)),
                                  chip_.now()});
        else
            state_.end_run(
                RunEnd{RunEnd::Kind::Failure, "the core reached " + hex_text(engine_.reg(UC_ARM_REG_PC)), chip_.now()});
    }
    return state_.end();
}

bool ImageRunner::restart()
{
    try {
        for (;;) {
            if (chip_.reset_pending()) reset(!loses_ram(chip_.perform_reset()));
            if (!chip_.held_in_reset()) return true;
            const Picos next = chip_.scheduler().next_time();
            const Picos limit = state_.limit();
            if (next == kNever && limit == kNever) {
                state_.halt("held in reset with nothing to release it");
                return false;
            }
            if (next >= limit) {
                chip_.run_until(limit);
                state_.end_run(RunEnd{RunEnd::Kind::TimeLimit, "time limit reached", chip_.now()});
                return false;
            }
            chip_.run_until(next);
        }
    } catch (const std::exception& error) {
        state_.end_run(state_.end_of(error));
        return false;
    }
}

// WFI (or WFE) stopped the engine after the instruction: the core sleeps until an interrupt it could
// take is pending (under PRIMASK too: it then wakes without taking it), while time passes event by event.
void ImageRunner::sleep()
{
    if (!state_.charge_owed_time()) return;
    Exceptions& exceptions = chip_.exceptions();
    for (;;) {
        bool masked = engine_.reg(UC_ARM_REG_PRIMASK) & 1U;
        exceptions.set_primask(false);
        bool wake = exceptions.next_to_take() != 0;
        exceptions.set_primask(masked);
        if (wake || chip_.reset_pending()) return;
        Picos next = chip_.scheduler().next_time();
        if (next == kNever) {
            state_.halt("core asleep in WFI at pc " + hex_text(engine_.reg(UC_ARM_REG_PC) - 2) +
                        " with nothing left to wake it");
            return;
        }
        const Picos limit = state_.limit();
        if (next >= limit) {
            chip_.run_until(limit);
            state_.end_run(RunEnd{RunEnd::Kind::TimeLimit, "time limit reached", chip_.now()});
            return;
        }
        chip_.run_until(next);
    }
}

bool ImageRunner::could_take_interrupt()
{
    Exceptions& exceptions = chip_.exceptions();
    exceptions.set_primask(engine_.reg(UC_ARM_REG_PRIMASK) & 1U);
    return exceptions.anything_can_preempt();
}

void ImageRunner::on_block(uint32_t address, uint32_t size)
{
    if (state_.ended() || skipper_.pending() || state_.split_pending()) {
        engine_.stop();
        return;
    }
    ++state_.counts().blocks;
    try {
        const uint8_t* code = engine_.at(address, size);
        const bool stub = in_range(address, kStubBase, kStubSize);
        if (code != nullptr && !stub) state_.follow(address, code);  // the refill of a branch taken to here
        if (!state_.charge_owed_time()) return;
        if (chip_.reset_pending()) {
            engine_.stop();  // the run loop resets the core before this block runs
            return;
        }
        if (stub) return;  // part of the entry, already paid for
        if (observer_) {
            static int registers[2] = {UC_ARM_REG_SP, UC_ARM_REG_LR};
            uint32_t sp = 0, lr = 0;
            void* values[2] = {&sp, &lr};
            uc_reg_read_batch(engine_.uc(), registers, values, 2);
            observer_->block_start(address, size, sp, lr, chip_.core_cycles());
        }
        if (state_.stepping()) {
            state_.begin_untimed_block();
            state_.owe(state_.cycle_period());  // the one instruction of a step
            state_.count_executed(1);
            return;
        }
        if (code == nullptr) {
            state_.stop_at(
                RunEnd{RunEnd::Kind::Failure, "code at " + hex_text(address) + " outside memory", chip_.now()});
            return;
        }
        const BlockInfo& info = blocks_.lookup(address, size, code);
        if (exceptions_.take_pending(address, info.exclusive_store)) return;
        state_.enter_block(address, size);
        if (faults_.raise_if_fpu_off(info)) return;
        if (chip_.exceptions().active(kHardFaultException)) exceptions_.watch_fault_handler(address);
        // A block that changes nothing but core registers (a poll, a wait on the counter, arithmetic)
        // takes an interrupt due inside it at its end: nothing but the interrupt's latency (at most the
        // block's length) tells the two apart, and waiting loops, made of such blocks, are jumped over
        // with their interrupts taken at the loop's head, which the engine's run must match.
        if (options_.exact_interrupts && !info.only_registers && !state_.splitting() && !state_.under_debugger()) {
            if (auto boundary = state_.boundary_for_next_event(info); boundary && could_take_interrupt()) {
                // Run the block up to that boundary: stop before it runs, start again to stop there.
                state_.split_at(*boundary);
                engine_.stop();
                return;
            }
        }
        if (options_.skip_waits && state_.watch().block(address, info, chip_.now()) && !skipper_.at_loop_head()) return;
        state_.begin_block(info, address + size);
        state_.count_executed(info.instructions);
    } catch (const std::exception& error) {
        state_.stop_at(state_.end_of(error));
    }
}

}  // namespace sim::cpu
