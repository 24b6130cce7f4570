// The flashable image, instruction by instruction, on an emulated Cortex-M4 (the Unicorn engine)
// against the chip models: flash and RAM are the engine's memory, every peripheral and core-bus access
// goes through sim::Chip's bus, time moves by one core cycle per instruction plus the bus's wait
// states, and exceptions are taken from the chip's NVIC model with the core's own stacking.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "block_cache.h"
#include "chip.h"
#include "elf_image.h"
#include "memory_map.h"
#include "run_end.h"
#include "short_handler.h"
#include "sim_time.h"
#include "wait_loop.h"

struct uc_struct;
struct uc_context;

namespace sim::cpu {

// What the core did, for a run's statistics.
struct RunnerCounts {
    uint64_t blocks = 0;      // block starts seen
    uint64_t exceptions = 0;  // exception entries
    uint64_t skips = 0;       // waiting loops jumped over
    uint64_t probes = 0;      // iterations tried ahead of time to find a loop's exit
    uint64_t engine_starts = 0;
    uint64_t short_exceptions = 0;  // of the exceptions, those worked out without the engine (ShortHandler)
};

struct RunnerOptions {
    // Jump over waiting loops to their end or the next event (the same timing either way, faster).
    bool skip_waits = true;
    // Take an exception whose handler is a short run of loads, stores and arithmetic (ShortHandler)
    // without the engine (the same timing either way, faster).
    bool short_handlers = true;
};

class ImageRunner final : private ExternalCore {
public:
    // Programs `image` into the chip's flash and resets the core. The runner takes over the chip's
    // exceptions and its DMA's view of memory until it is destroyed. Throws std::runtime_error when the
    // image does not fit the chip's memories or the engine cannot start.
    ImageRunner(Chip& chip, const ElfImage& image, RunnerOptions options = {});
    ~ImageRunner();
    ImageRunner(const ImageRunner&) = delete;
    ImageRunner& operator=(const ImageRunner&) = delete;

    // The core's reset: RAM cleared, the core's exception state, SCB, SysTick and cycle counter as at
    // reset, SP and PC from the vector table. (The chip's peripherals keep their state.)
    void reset();
    // Runs until virtual time reaches `limit` (absolute, since reset; run() may then be called again to go
    // on), the node halts, an event stops the run, or a breakpoint is reached (Stopped).
    RunEnd run(Picos limit);

    // Debugging (debug_access.cpp). A run stops before an instruction at a breakpoint; a step executes one instruction and
    // takes no interrupt (a pending one is taken by the next run), as with the debugger masking them.
    void set_breakpoints(const std::vector<uint32_t>& addresses);
    RunEnd step();
    // The chip's registers and the core's memories as a debugger reads and writes them: no time passes.
    bool debug_read(uint32_t address, uint8_t* out, uint32_t size);
    bool debug_write(uint32_t address, const uint8_t* in, uint32_t size);

    // Instructions executed, counting those of skipped loop iterations, and of those the skipped ones.
    uint64_t instructions() const { return instructions_; }
    uint64_t skipped_instructions() const { return skipped_; }
    uint32_t pc() const;
    // Any register of the engine (UC_ARM_REG_*), up to 64 bits wide (the FP d registers).
    void read_engine_register(int uc_register, uint64_t* value) const;
    void write_engine_register(int uc_register, uint64_t value);
    const RunnerCounts& counts() const { return counts_; }
    // A core register by Unicorn's number (UC_ARM_REG_*), and memory as the core sees it (flash and RAM
    // only; the chip's registers are read through the chip).
    uint32_t reg(int uc_register) const;
    void set_reg(int uc_register, uint32_t value);
    bool read_memory(uint32_t address, void* out, uint32_t size) const;

    // Engine callbacks (public so that the C trampolines can reach them): the block hook (image_runner.cpp),
    // the faults (faults.cpp), the bus (bus_bridge.cpp).
    void on_block(uint32_t address, uint32_t size);
    void on_interrupt(uint32_t number);
    bool on_invalid_access(bool write, bool fetch, uint32_t address, unsigned size);
    uint64_t on_bus_read(uint32_t address, unsigned size);
    void on_bus_write(uint32_t address, unsigned size, uint32_t value);

private:
    // ExternalCore: what the DMA controller reaches (bus_bridge.cpp).
    uint32_t memory_read(uint32_t address, unsigned width) override;
    void memory_write(uint32_t address, uint32_t value, unsigned width) override;

    uint8_t* host_pointer(uint32_t address, uint32_t size) const { return memory_.at(address, size); }
    Picos cycle_period();
    void credit_access_issue();
    void set_exits(const std::vector<uint32_t>& addresses);
    bool charge_owed_time();
    void stop_at(RunEnd end);
    RunEnd end_of(const std::exception& error) const;
    // The engine stops on reaching this address; code never runs there.
    static constexpr uint64_t kNoExit = 0xFFFFFFFEU;
    // The engine stops after these; the core sleeps until an interrupt.
    static constexpr uint16_t kWfi = 0xBF30;
    static constexpr uint16_t kWfe = 0xBF20;
    void sleep();
    // The exception model (core_exceptions.cpp). The registers an exception stacks, as they stand (one
    // batch from the engine).
    struct Frame {
        uint32_t r0, r1, r2, r3, r12, lr, sp, xpsr;
    };
    Frame read_frame() const;
    // Stacks `frame` for `exception` returning to `return_address`: the frame's address, or nothing
    // (and the run halted in lockup) when it falls outside RAM.
    std::optional<uint32_t> stack(const Frame& frame, int exception, uint32_t return_address);
    void enter_exception(int exception, uint32_t return_address);
    // Takes `exception` without the engine when its handler is a ShortHandler and no event falls due
    // while it runs: the core's registers come out of it as they went in. False, with nothing changed
    // but the stacked frame (which the engine's entry writes the same), when it cannot.
    bool take_short(int exception, uint32_t return_address, const Frame& frame);
    const ShortHandler* short_handler(int exception);
    void return_from_exception();
    void fault(const std::string& what, uint32_t pc);
    void halt(const std::string& reason) { end_ = RunEnd{RunEnd::Kind::Halt, reason, chip_.now()}; }
    bool fpu_enabled() const;
    // Waiting loops (loop_skipping.cpp).
    HeadState head_state() const;
    uint64_t iterations_before_horizon(const WaitLoop& loop) const;
    void jump(const WaitLoop& loop, uint64_t iterations);
    // What jumping over a loop from inside the engine came to: the head's block runs next, the
    // iterations must be tried ahead of time first, or an exception was entered at the head instead.
    enum class InPlace { Runs, Probe, Entered };
    InPlace jump_in_place(const WaitLoop& loop, const HeadState& state);
    struct KnownWait;
    InPlace park(const WaitLoop& loop, const KnownWait& known);
    void pass_iteration(const WaitLoop& loop);
    bool halt_if_stuck(const WaitLoop& loop);
    void skip_with_probes(const WaitLoop& loop, const HeadState& state);
    bool probe_exits(const WaitLoop& loop, uint64_t iteration);
    void watch_fault_handler(uint32_t address);

    Chip& chip_;
    RunnerOptions options_;
    uc_struct* uc_ = nullptr;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> stub_;
    CoreMemory memory_;
    BlockCache blocks_;

    Picos limit_ = 0;
    Picos owed_ = 0;  // time of instructions run and not yet charged to the chip
    uint32_t period_hclk_ = 0;
    Picos period_ = 0;
    uint64_t instructions_ = 0;
    uint64_t skipped_ = 0;
    RunnerCounts counts_;
    WaitLoopWatch watch_;
    std::optional<WaitLoop> pending_skip_;
    HeadState pending_skip_state_;
    // A wait on the cycle counter seen before (the same loop, the same registers it depends on), with
    // the highest counter value known to keep it waiting and the lowest known to end it: later visits
    // jump without trying iterations unless their iteration reads between the two.
    struct KnownWait {
        uint32_t head = 0;
        uint16_t live_in = 0;
        uint32_t step = 0;
        HeadState state;
        uint32_t last_staying = 0;
        std::optional<uint32_t> first_leaving;
    };
    std::vector<KnownWait> known_waits_;
    size_t next_known_ = 0;
    const KnownWait* find_known(const WaitLoop& loop, const HeadState& state) const;
    void remember(const WaitLoop& loop, const HeadState& state, uint32_t last_staying,
                  std::optional<uint32_t> first_leaving);
    // Trying one iteration of a loop ahead of time: the counter value it would read, and how it went.
    struct Probe {
        const WaitLoop* loop = nullptr;
        uint32_t counter = 0;
        bool started = false;
        bool exited = false;
        bool spoiled = false;  // it did something a waiting loop does not
    };
    std::optional<Probe> probe_;
    ::uc_context* probe_context_ = nullptr;
    std::optional<RunEnd> end_;
    std::vector<uint32_t> breakpoints_;
    // Handlers decoded at their first taking, by vector (nullopt: not a short one).
    std::vector<std::pair<uint32_t, std::optional<ShortHandler>>> short_handlers_;
    bool stepping_ = false;
    std::optional<std::string> pending_fault_;  // an invalid access the engine is about to report
    uint32_t pending_fault_pc_ = 0;
    uint32_t block_address_ = 0;  // the block running now
    uint32_t block_size_ = 0;
    std::string fault_reason_;       // why HardFault was entered
    uint32_t last_fault_block_ = 0;  // the handler's last block, and the bus accesses made by then
    uint64_t last_fault_accesses_ = 0;
};

}  // namespace sim::cpu
