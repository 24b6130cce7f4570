#include "image_runner.h"

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <utility>
#include <cstring>
#include <stdexcept>

#include "cost_model.h"
#include "hex_text.h"
#include "memory_map.h"

namespace sim::cpu {

namespace {

// Engine exception numbers (the core's own, as it reports them to the interrupt hook).
constexpr uint32_t kUndefined = 1;
constexpr uint32_t kPrefetchAbort = 3;
constexpr uint32_t kDataAbort = 4;
constexpr uint32_t kBreakpoint = 7;
constexpr uint32_t kExceptionExit = 8;
constexpr uint32_t kNoCoprocessor = 17;
constexpr uint32_t kInvalidState = 18;
constexpr uint32_t kUnaligned = 22;

// The engine's exceptions that a Cortex-M4 raises as a fault, and how the fault's halt names it.
const char* fault_of(uint32_t engine_exception)
{
    switch (engine_exception) {
        case kUndefined:
            return "UsageFault (UNDEFINSTR): undefined instruction";
        case kInvalidState:
            return "UsageFault (INVSTATE): execution in ARM state";
        case kNoCoprocessor:
            return "UsageFault (NOCP): coprocessor instruction";
        case kUnaligned:
            return "UsageFault (UNALIGNED): unaligned multi-word access";
        case kPrefetchAbort:
            return "BusFault: instruction fetch from a non-executable address";
        case kDataAbort:
            return "BusFault: data access error";
        default:
            return nullptr;
    }
}

constexpr uint32_t kThumbBit = 1U << 24;       // xPSR.T
constexpr uint32_t kFrameRealigned = 1U << 9;  // stacked xPSR: the frame was moved down 4 bytes to align it
constexpr uint32_t kItBits = 0x0600FC00U;      // xPSR.IT/ICI: the interrupted IT block's state
constexpr uint32_t kExceptionNumber = 0x1FFU;  // xPSR.IPSR

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

uint32_t word_at(const uint8_t* p)
{
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
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

uint32_t ImageRunner::reg(int uc_register) const
{
    uint32_t value = 0;
    uc_reg_read(uc_, uc_register, &value);
    return value;
}

uint32_t ImageRunner::pc() const
{
    return reg(UC_ARM_REG_PC);
}

void ImageRunner::read_engine_register(int uc_register, uint64_t* value) const
{
    *value = 0;
    uc_reg_read(uc_, uc_register, value);
}

void ImageRunner::write_engine_register(int uc_register, uint64_t value)
{
    uc_reg_write(uc_, uc_register, &value);
    if (uc_register == UC_ARM_REG_PC) watch_.forget();
}

void ImageRunner::set_reg(int uc_register, uint32_t value)
{
    uc_reg_write(uc_, uc_register, &value);
}

bool ImageRunner::read_memory(uint32_t address, void* out, uint32_t size) const
{
    const uint8_t* from = host_pointer(address, size);
    if (from == nullptr) return false;
    std::memcpy(out, from, size);
    return true;
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

// ---------------------------------------------------------------------------------------------------
// Debugging.

void ImageRunner::set_breakpoints(const std::vector<uint32_t>& addresses)
{
    // Code translated before knows nothing of a new breakpoint (nor forgets an old one): the engine would
    // run through it until the block is translated again. Drop the translations around the changes.
    auto drop = [this](const std::vector<uint32_t>& from, const std::vector<uint32_t>& unless) {
        for (uint32_t address : from)
            if (std::find(unless.begin(), unless.end(), address) == unless.end())
                uc_ctl_remove_cache(uc_, address, address + 4ULL);
    };
    drop(breakpoints_, addresses);
    drop(addresses, breakpoints_);
    breakpoints_ = addresses;
    set_exits(addresses);
}

// The engine ends its blocks at, and stops on reaching, these addresses.
void ImageRunner::set_exits(const std::vector<uint32_t>& addresses)
{
    std::vector<uint64_t> exits(addresses.begin(), addresses.end());
    if (exits.empty()) {
        uc_ctl_exits_disable(uc_);
    } else {
        uc_ctl_exits_enable(uc_);
        uc_ctl_set_exits(uc_, exits.data(), exits.size());
    }
    uc_ctl_flush_tlb(uc_);
}

RunEnd ImageRunner::step()
{
    limit_ = kNever;
    end_.reset();
    // The step runs the instruction even at a breakpoint: the exits go for it, the breakpoints stay.
    if (!breakpoints_.empty()) set_exits({});
    stepping_ = true;
    pending_fault_.reset();
    uc_err err = uc_emu_start(uc_, reg(UC_ARM_REG_PC) | 1U, kNoExit, 0, 1);
    stepping_ = false;
    if (!end_ && pending_fault_) fault(*pending_fault_, pending_fault_pc_);
    if (!end_ && err == UC_ERR_INSN_INVALID) fault(fault_of(kUndefined), reg(UC_ARM_REG_PC));
    if (!breakpoints_.empty()) set_exits(breakpoints_);
    if (end_) return *end_;
    return RunEnd{RunEnd::Kind::Stopped, "step", chip_.now()};
}

bool ImageRunner::debug_read(uint32_t address, uint8_t* out, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t at = address + i;
        if (const uint8_t* from = host_pointer(at, 1)) {
            out[i] = *from;
        } else if (in_range(at, kPeripheralBase, kPeripheralSize) || in_range(at, kPrivateBusBase, kPrivateBusSize)) {
            // Through the register's model, a word at a time, as the debug port reads it.
            out[i] = static_cast<uint8_t>(chip_.master_read(at & ~3U, 4) >> (8 * (at & 3U)));
        } else {
            return false;
        }
    }
    return true;
}

bool ImageRunner::debug_write(uint32_t address, const uint8_t* in, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t at = address + i;
        if (uint8_t* to = host_pointer(at, 1)) {
            *to = in[i];
        } else if (in_range(at, kPeripheralBase, kPeripheralSize) || in_range(at, kPrivateBusBase, kPrivateBusSize)) {
            chip_.master_write(at, in[i], 1);
        } else {
            return false;
        }
    }
    // Code the debugger changed (a patched instruction) must be translated again.
    uc_ctl_remove_cache(uc_, address, address + size);
    blocks_.clear();
    short_handlers_.clear();
    return true;
}

// ---------------------------------------------------------------------------------------------------
// The bus.

// The chip charged the access its whole bus cost, which includes the issue cycle that the block's
// instruction count already holds: give that cycle back. (It is owed, not yet charged: the block's
// instructions, this one among them, were added to `owed_` at the block's start.)
void ImageRunner::credit_access_issue()
{
    const Picos issue = cycles_to_picos(cost::kAccessIssue, cycle_period());
    owed_ = owed_ > issue ? owed_ - issue : 0;
}

uint64_t ImageRunner::on_bus_read(uint32_t address, unsigned size)
{
    if (probe_) {
        if (address == kCycleCounterAddress) return probe_->counter;
        probe_->spoiled = true;
        uc_emu_stop(uc_);
        return 0;
    }
    try {
        uint32_t value = chip_.read(address, size);
        credit_access_issue();
        watch_.bus_read(address, value, chip_.free_running(address));
        return value;
    } catch (const std::exception& error) {
        stop_at(end_of(error));
    }
    return 0;
}

void ImageRunner::on_bus_write(uint32_t address, unsigned size, uint32_t value)
{
    if (probe_) {
        probe_->spoiled = true;
        uc_emu_stop(uc_);
        return;
    }
    watch_.bus_write();
    try {
        chip_.write(address, value, size);
        credit_access_issue();
    } catch (const std::exception& error) {
        stop_at(end_of(error));
    }
}

uint32_t ImageRunner::memory_read(uint32_t address, unsigned width)
{
    uint32_t value = 0;
    if (const uint8_t* from = host_pointer(address, width))
        std::memcpy(&value, from, width);
    else
        chip_.log().line("DMA read of " + hex_text(address) + ": no memory at this address");
    return value;
}

void ImageRunner::memory_write(uint32_t address, uint32_t value, unsigned width)
{
    if (in_range(address, kRamBase, kRamSize) && width <= kRamBase + kRamSize - address)
        std::memcpy(ram_.data() + (address - kRamBase), &value, width);
    else
        chip_.log().line("DMA write of " + hex_text(value) + " to " + hex_text(address) + ": no RAM at this address");
}

// ---------------------------------------------------------------------------------------------------
// Exceptions.

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

void ImageRunner::on_interrupt(uint32_t number)
{
    if (probe_) {
        probe_->spoiled = true;
        uc_emu_stop(uc_);
        return;
    }
    uint32_t pc = reg(UC_ARM_REG_PC);
    try {
        if (number == kExceptionExit) {
            return_from_exception();
            return;
        }
        if (const char* what = fault_of(number)) {
            fault(what, pc);
            return;
        }
        halt(number == kBreakpoint ? "breakpoint instruction at pc " + hex_text(pc)
                                   : "core exception " + std::to_string(number) + " at pc " + hex_text(pc));
    } catch (const std::exception& error) {
        end_ = RunEnd{RunEnd::Kind::Failure, error.what(), chip_.now()};
    }
    uc_emu_stop(uc_);
}

bool ImageRunner::on_invalid_access(bool write, bool fetch, uint32_t address, unsigned size)
{
    if (probe_) {
        probe_->spoiled = true;
        return false;
    }
    std::string kind = fetch   ? "instruction fetch from"
                       : write ? "write of " + std::to_string(size) + " bytes to"
                               : "read of " + std::to_string(size) + " bytes from";
    bool mapped = host_pointer(address, 1) != nullptr;
    // The engine's PC is the block's start here; find the instruction that made the access.
    pending_fault_pc_ = block_address_;
    if (const uint8_t* code = host_pointer(block_address_, block_size_); code != nullptr && !fetch) {
        auto register_value = [this](unsigned capstone_register) {
            if (capstone_register >= ARM_REG_R0 && capstone_register <= ARM_REG_R12)
                return reg(UC_ARM_REG_R0 + static_cast<int>(capstone_register - ARM_REG_R0));
            if (capstone_register == ARM_REG_SP) return reg(UC_ARM_REG_SP);
            if (capstone_register == ARM_REG_LR) return reg(UC_ARM_REG_LR);
            return 0U;
        };
        if (auto at = blocks_.find_access(block_address_, block_size_, code, address, register_value))
            pending_fault_pc_ = *at;
    } else if (fetch) {
        pending_fault_pc_ = address;
    }
    pending_fault_ = "BusFault: " + kind + (mapped ? " read-only address " : " unmapped address ") + hex_text(address);
    return false;  // the engine stops; run() takes the fault through HardFault
}

// A fault escalates to HardFault (the configurable faults are not enabled by this firmware), which runs
// the image's own handler; the run ends when that handler settles into a loop.
void ImageRunner::fault(const std::string& what, uint32_t pc)
{
    std::string reason = what + " at pc " + hex_text(pc);
    if (chip_.exceptions().active(kHardFaultException)) {
        halt("lockup: " + reason + ", inside the HardFault handler");
        uc_emu_stop(uc_);
        return;
    }
    fault_reason_ = "HardFault: " + reason;
    last_fault_block_ = 0;
    enter_exception(kHardFaultException, pc);
}

// Inside HardFault nothing but NMI can pre-empt: once the handler repeats a block with no bus access in
// between, it loops for ever and the node has stopped.
void ImageRunner::watch_fault_handler(uint32_t address)
{
    uint64_t accesses = chip_.access_count();
    if (last_fault_block_ == address && last_fault_accesses_ == accesses) {
        halt(fault_reason_);
        uc_emu_stop(uc_);
        return;
    }
    last_fault_block_ = address;
    last_fault_accesses_ = accesses;
}

bool ImageRunner::fpu_enabled() const
{
    // CP10 and CP11 (single and double precision) each need privileged (01) or full (11) access.
    uint32_t cpacr = chip_.scb.cpacr();
    uint32_t cp10 = (cpacr >> 20) & 3U;
    uint32_t cp11 = (cpacr >> 22) & 3U;
    return (cp10 == 1 || cp10 == 3) && cp11 == cp10;
}

}  // namespace sim::cpu
