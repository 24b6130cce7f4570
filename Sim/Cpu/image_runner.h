// The flashable image, instruction by instruction, on an emulated Cortex-M4 (the Unicorn engine)
// against the chip models: flash and RAM are the engine's memory, every peripheral and core-bus access
// goes through sim::Chip's bus, time moves by one core cycle per instruction plus the bus's wait
// states, and exceptions are taken from the chip's NVIC model with the core's own stacking.
//
// The runner is the coordinator: the run loop, the block hook that charges time and hands over, the
// core's sleep, and the reset. Each part has one job and is handed the engine, the chip and the shared
// run state it needs: the engine and memory map (CoreEngine), the run state (RunState), the exception
// model (ExceptionModel), fault classification (FaultClassifier), the bus bridge (BusBridge), wait-loop
// skipping (LoopSkipper) and what a debugger reaches (DebugAccess).
#pragma once

#include <cstdint>

#include "block_cache.h"
#include "block_observer.h"
#include "bus_bridge.h"
#include "chip.h"
#include "core_engine.h"
#include "core_exceptions.h"
#include "debug_access.h"
#include "elf_image.h"
#include "faults.h"
#include "loop_skipping.h"
#include "run_end.h"
#include "run_state.h"
#include "sim_time.h"

namespace sim::cpu {

struct RunnerOptions {
    // Jump over waiting loops to their end or the next event (the same timing either way, faster).
    bool skip_waits = true;
    // Take an exception whose handler is a short run of loads, stores and arithmetic (ShortHandler)
    // without the engine (the same timing either way, faster).
    bool short_handlers = true;
    // Take an interrupt at the first instruction boundary at or after its time, inside a block too
    // (off: at the next block's start, faster).
    bool exact_interrupts = true;
    // When given: where each interrupt is taken (the timing sweep's count of boundaries reached).
    InterruptLandings* landings = nullptr;
};

class ImageRunner final : private EngineEvents {
public:
    // Programs `image` into the chip's flash and resets the core. The runner takes over the chip's
    // exceptions and its DMA's view of memory until it is destroyed. Throws std::runtime_error when the
    // image does not fit the chip's memories or the engine cannot start.
    ImageRunner(Chip& chip, const ElfImage& image, RunnerOptions options = {});
    ~ImageRunner();
    ImageRunner(const ImageRunner&) = delete;
    ImageRunner& operator=(const ImageRunner&) = delete;

    // The core's reset: RAM cleared (kept with `keep_ram`: a system reset), the core's exception state,
    // SCB, SysTick and cycle counter as at reset, SP and PC from the vector table. (The chip's peripherals
    // are reset by the chip's own reset, Chip::reset, which the run loop performs when one is asked for.)
    void reset(bool keep_ram = false);
    // Runs until virtual time reaches `limit` (absolute, since reset; the chip's scheduler keeps it as the
    // run's end; run() may then be called again to go on), the node halts, an event stops the run, or a
    // breakpoint is reached (Stopped).
    RunEnd run(Picos limit);

    // From now on tells `observer` of each block start and exception (nullptr: no one; the default).
    void observe(BlockObserver* observer)
    {
        observer_ = observer;
        exceptions_.observe(observer);
    }

    // Breakpoints, single steps, registers and memory for a debugger.
    DebugAccess& debug() { return debug_; }

    // Instructions executed, counting those of skipped loop iterations, and of those the skipped ones.
    uint64_t instructions() const { return state_.instructions(); }
    uint64_t skipped_instructions() const { return state_.skipped(); }
    const RunnerCounts& counts() const { return state_.counts(); }
    uint32_t pc() const { return engine_.reg(UC_ARM_REG_PC); }
    // Memory as the core sees it (flash and RAM only; the chip's registers are read through the chip).
    bool read_memory(uint32_t address, void* out, uint32_t size) const;

private:
    // EngineEvents: the block hook here, the engine's exceptions and invalid accesses to the faults.
    void on_block(uint32_t address, uint32_t size) override;
    void on_interrupt(uint32_t number) override { faults_.on_interrupt(number); }
    bool on_invalid_access(bool write, bool fetch, uint32_t address, unsigned size) override
    {
        return faults_.on_invalid_access(write, fetch, address, size);
    }
    void sleep();
    // Whether an interrupt raised now could pre-empt the running code (PRIMASK, priorities, enables).
    bool could_take_interrupt();
    // A reset the chip asks for: performed, then time passes while the reset is held (the core not
    // running); false when the run ended meanwhile.
    bool restart();

    // The engine stops after these; the core sleeps until an interrupt.
    static constexpr uint16_t kWfi = 0xBF30;
    static constexpr uint16_t kWfe = 0xBF20;

    Chip& chip_;
    RunnerOptions options_;
    CoreEngine engine_;
    BlockCache blocks_;
    RunState state_;
    ExceptionModel exceptions_;
    FaultClassifier faults_;
    BusBridge bridge_;
    LoopSkipper skipper_;
    DebugAccess debug_;
    BlockObserver* observer_ = nullptr;
};

}  // namespace sim::cpu
