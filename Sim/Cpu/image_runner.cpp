// The runner itself: the engine set up with the core's memories and buses, the reset, the run loop, and
// the block hook that charges time and hands over to the parts: the exception model
// (core_exceptions.cpp, short_handler.h), the bus bridge (bus_bridge.cpp), wait-loop skipping
// (loop_skipping.cpp, wait_loop.h), faults (faults.cpp) and what the debugger reaches (debug_access.cpp).
#include "image_runner.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <utility>
#include <cstring>
#include <stdexcept>

#include "core_frame.h"
#include "cost_model.h"
#include "faults.h"
#include "hex_text.h"
#include "memory_map.h"

namespace sim::cpu {

namespace {

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK) throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(err));
}

ImageRunner& runner_of(void* user)
{
    return *static_cast<ImageRunner*>(user);
}

void block_hook(uc_engine*, uint64_t address, uint32_t size, void* user)
{
    runner_of(user).on_block(static_cast<uint32_t>(address), size);
}

void interrupt_hook(uc_engine*, uint32_t number, void* user)
{
    runner_of(user).on_interrupt(number);
}

bool invalid_access_hook(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user)
{
    bool write = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
    bool fetch = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT;
    return runner_of(user).on_invalid_access(write, fetch, static_cast<uint32_t>(address), static_cast<unsigned>(size));
}

template <uint32_t Base>
uint64_t bus_read(uc_engine*, uint64_t offset, unsigned size, void* user)
{
    return runner_of(user).on_bus_read(Base + static_cast<uint32_t>(offset), size);
}

template <uint32_t Base>
void bus_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user)
{
    runner_of(user).on_bus_write(Base + static_cast<uint32_t>(offset), size, static_cast<uint32_t>(value));
}

}  // namespace

ImageRunner::ImageRunner(Chip& chip, const ElfImage& image, RunnerOptions options)
    : chip_(chip),
      options_(options),
      flash_(kFlashSize, 0xFF),
      ram_(kRamSize, 0),
      stub_(kStubSize, 0),
      memory_(flash_.data(), ram_.data(), stub_.data())
{
    for (const LoadSegment& segment : image.segments()) {
        if (!in_range(segment.address, kFlashBase, kFlashSize) ||
            segment.bytes.size() > kFlashBase + kFlashSize - segment.address)
            throw std::runtime_error("the image's segment at " + hex_text(segment.address) + " (" +
                                     std::to_string(segment.bytes.size()) + " bytes) lies outside the chip's flash");
        std::memcpy(flash_.data() + (segment.address - kFlashBase), segment.bytes.data(), segment.bytes.size());
    }
    // Exception entry goes through this stub: `cpsie f` changes nothing (FAULTMASK is 0 wherever an
    // exception can be taken) but makes the engine re-derive handler mode from IPSR, so that the
    // handler's return to an EXC_RETURN value arrives as an exception exit; then `bx r12` to the handler.
    const uint16_t stub[] = {0xB661, 0x4760};
    std::memcpy(stub_.data(), stub, sizeof stub);

    check(uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_), "open");
    try {
        // UC_MODE_MCLASS would make it a Cortex-M33 whatever the model; Thumb mode and the model do it.
        check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M4), "select the Cortex-M4");
        check(uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()), "map flash");
        check(uc_mem_map_ptr(uc_, kFlashAlias, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()),
              "map the flash alias");
        check(uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, ram_.data()), "map RAM");
        check(uc_mem_map_ptr(uc_, kStubBase, kStubSize, UC_PROT_READ | UC_PROT_EXEC, stub_.data()), "map the stub");
        check(uc_mmio_map(uc_, kPeripheralBase, kPeripheralSize, bus_read<kPeripheralBase>, this,
                          bus_write<kPeripheralBase>, this),
              "map the peripherals");
        check(uc_mmio_map(uc_, kPrivateBusBase, kPrivateBusSize, bus_read<kPrivateBusBase>, this,
                          bus_write<kPrivateBusBase>, this),
              "map the private peripheral bus");
        uc_hook hook;
        check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(block_hook), this, 1, 0), "block hook");
        check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(interrupt_hook), this, 1, 0),
              "interrupt hook");
        check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(invalid_access_hook), this, 1, 0),
              "invalid access hook");
        check(uc_context_alloc(uc_, &probe_context_), "allocate a context");
    } catch (...) {
        uc_close(uc_);
        throw;
    }
    chip_.attach_core(this);
    reset();
}

ImageRunner::~ImageRunner()
{
    chip_.attach_core(nullptr);
    uc_context_free(probe_context_);
    uc_close(uc_);
}

void ImageRunner::reset()
{
    std::fill(ram_.begin(), ram_.end(), 0);
    owed_ = 0;
    end_.reset();
    fault_reason_.clear();
    watch_.forget();
    // The core's own blocks go back to their reset state with it: no exception active or pending, no
    // priorities, SysTick stopped, the cycle counter off. (The chip's peripherals keep theirs.)
    chip_.exceptions().reset();
    chip_.scb.reset();
    chip_.systick.reset();
    chip_.dwt.reset();
    chip_.core_debug.reset();
    // Booting from flash: word 0 of the vector table is the initial main stack pointer, word 1 the reset
    // vector (a Thumb address).
    set_reg(UC_ARM_REG_XPSR, kThumbBit);
    set_reg(UC_ARM_REG_SP, word_at(flash_.data()));
    set_reg(UC_ARM_REG_PC, word_at(flash_.data() + 4));
}

Picos ImageRunner::cycle_period()
{
    uint32_t hclk = chip_.clocks().now().hclk;
    if (hclk != period_hclk_) {
        period_hclk_ = hclk;
        period_ = period_of(hclk);
    }
    return period_;
}

// ---------------------------------------------------------------------------------------------------
// The run.

RunEnd ImageRunner::run(Picos limit)
{
    limit_ = limit;
    end_.reset();
    while (!end_) {
        pending_fault_.reset();
        ++counts_.engine_starts;
        uc_err err = uc_emu_start(uc_, reg(UC_ARM_REG_PC) | 1U, kNoExit, 0, 0);
        if (end_) break;
        if (pending_skip_) {
            WaitLoop loop = std::move(*pending_skip_);
            pending_skip_.reset();
            try {
                skip_with_probes(loop, pending_skip_state_);
            } catch (const std::exception& error) {
                end_ = end_of(error);
            }
            continue;
        }
        if (pending_fault_) {
            std::string what = *pending_fault_;
            fault(what, pending_fault_pc_);
            continue;
        }
        if (err == UC_ERR_INSN_INVALID) {
            fault(fault_of(kUndefined), reg(UC_ARM_REG_PC));
            continue;
        }
        uint32_t pc = reg(UC_ARM_REG_PC);
        uint16_t previous = 0;
        read_memory(pc - 2, &previous, 2);
        if (err == UC_ERR_OK && (previous == kWfi || previous == kWfe)) {
            try {
                sleep();
            } catch (const std::exception& error) {
                end_ = end_of(error);
            }
            continue;
        }
        if (err == UC_ERR_OK && std::find(breakpoints_.begin(), breakpoints_.end(), pc) != breakpoints_.end())
            end_ = RunEnd{RunEnd::Kind::Stopped, "breakpoint at " + hex_text(pc), chip_.now()};
        else if (err != UC_ERR_OK)
            end_ = RunEnd{
                RunEnd::Kind::Failure,
                std::string("the engine stopped: ") + uc_strerror(err) + " at pc " + hex_text(reg(UC_ARM_REG_PC)),
                chip_.now()};
        else
            end_ = RunEnd{RunEnd::Kind::Failure, "the core reached " + hex_text(reg(UC_ARM_REG_PC)), chip_.now()};
    }
    return *end_;
}

// WFI (or WFE) stopped the engine after the instruction: the core sleeps until an interrupt it could
// take is pending (under PRIMASK too: it then wakes without taking it), while time passes event by event.
void ImageRunner::sleep()
{
    if (!charge_owed_time()) return;
    Exceptions& exceptions = chip_.exceptions();
    for (;;) {
        bool masked = reg(UC_ARM_REG_PRIMASK) & 1U;
        exceptions.set_primask(false);
        bool wake = exceptions.next_to_take() != 0;
        exceptions.set_primask(masked);
        if (wake) return;
        Picos next = chip_.scheduler().next_time();
        if (next == kNever) {
            halt("core asleep in WFI at pc " + hex_text(reg(UC_ARM_REG_PC) - 2) + " with nothing left to wake it");
            return;
        }
        if (next >= limit_) {
            chip_.run_until(limit_);
            end_ = RunEnd{RunEnd::Kind::TimeLimit, "time limit reached", chip_.now()};
            return;
        }
        chip_.run_until(next);
    }
}

// What an exception thrown from the chip (a Stop from an event, or a failure) means for the run.
RunEnd ImageRunner::end_of(const std::exception& error) const
{
    if (const auto* stop = dynamic_cast<const Stop*>(&error)) return sim::end_of(*stop);
    return RunEnd{RunEnd::Kind::Failure, error.what(), chip_.now()};
}

void ImageRunner::stop_at(RunEnd end)
{
    // Asked from the block hook, the stop takes effect before the block's first instruction, and the
    // next run resumes at that block.
    end_ = std::move(end);
    uc_emu_stop(uc_);
}

// Moves the chip's time on by what the core has run since the last block boundary (events run and
// interrupts become pending on the way). False when the run must stop here.
bool ImageRunner::charge_owed_time()
{
    Picos now = chip_.now();
    if (now + owed_ < limit_) {
        if (owed_ != 0) chip_.run_until(now + owed_);
        owed_ = 0;
        return true;
    }
    // The limit falls inside what is owed: stop there, and charge the rest when the run goes on.
    if (now < limit_) {
        owed_ = now + owed_ - limit_;
        chip_.run_until(limit_);
    }
    stop_at(RunEnd{RunEnd::Kind::TimeLimit, "time limit reached", chip_.now()});
    return false;
}

void ImageRunner::on_block(uint32_t address, uint32_t size)
{
    if (probe_) {
        // One iteration tried ahead of time: stop when it comes round to the head or leaves the loop.
        Probe& probe = *probe_;
        if (!probe.started) {
            probe.started = true;
            return;
        }
        bool in_loop = false;
        for (uint32_t block : probe.loop->blocks) in_loop = in_loop || block == address;
        if (address == probe.loop->head || !in_loop) {
            probe.exited = !in_loop;
            uc_emu_stop(uc_);
        }
        return;
    }
    if (end_ || pending_skip_) {
        uc_emu_stop(uc_);
        return;
    }
    ++counts_.blocks;
    try {
        if (!charge_owed_time()) return;
        if (in_range(address, kStubBase, kStubSize)) return;  // part of the entry, already paid for
        Exceptions& exceptions = chip_.exceptions();
        if (stepping_) {
            owed_ += cycle_period();  // the one instruction of a step
            ++instructions_;
            return;
        }
        if (exceptions.any_pending()) {
            exceptions.set_primask(reg(UC_ARM_REG_PRIMASK) & 1U);
            // A short handler leaves the core as it found it, and the next one may be taken at once.
            while (int e = exceptions.next_to_take()) {
                if (take_short(e, address, read_frame())) continue;
                enter_exception(e, address);
                return;
            }
        }
        const uint8_t* code = host_pointer(address, size);
        if (code == nullptr) {
            stop_at(RunEnd{RunEnd::Kind::Failure, "code at " + hex_text(address) + " outside memory", chip_.now()});
            return;
        }
        const BlockInfo& info = blocks_.lookup(address, size, code);
        block_address_ = address;
        block_size_ = size;
        if (info.first_fp && !fpu_enabled()) {
            fault("UsageFault (NOCP): floating-point instruction while CPACR does not grant CP10/CP11", *info.first_fp);
            return;
        }
        if (exceptions.active(kHardFaultException)) watch_fault_handler(address);
        if (options_.skip_waits && watch_.block(address, info, chip_.now())) {
            HeadState state = head_state();
            if (auto loop = watch_.at_head(state)) {
                switch (jump_in_place(*loop, state)) {
                    case InPlace::Runs:
                        break;
                    case InPlace::Probe:
                        // Finding where it ends takes trying iterations ahead of time, with the engine: stop
                        // before the head runs again; run() jumps and resumes here.
                        pending_skip_ = std::move(loop);
                        pending_skip_state_ = state;
                        uc_emu_stop(uc_);
                        return;
                    case InPlace::Entered:
                        return;
                }
            }
        }
        owed_ += info.instructions * cycle_period();
        instructions_ += info.instructions;
    } catch (const std::exception& error) {
        stop_at(end_of(error));
    }
}

}  // namespace sim::cpu
