// How the engine reports what a Cortex-M4 raises as a fault: its exception numbers, the fault each one
// is, as a halt names it, and the classifier that turns the engine's reports into faults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "block_cache.h"
#include "chip.h"
#include "core_engine.h"
#include "core_exceptions.h"
#include "run_state.h"

namespace sim::cpu {

// Engine exception numbers (the core's own, as it reports them to the interrupt hook).
constexpr uint32_t kUndefined = 1;
constexpr uint32_t kPrefetchAbort = 3;
constexpr uint32_t kDataAbort = 4;
constexpr uint32_t kBreakpoint = 7;
constexpr uint32_t kExceptionExit = 8;
constexpr uint32_t kNoCoprocessor = 17;
constexpr uint32_t kInvalidState = 18;
constexpr uint32_t kUnaligned = 22;

// The engine's exceptions that a Cortex-M4 raises as a fault, and how the fault's halt names it (nullptr:
// not a fault).
inline const char* fault_of(uint32_t engine_exception)
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

// The engine's reports as the Cortex-M4's faults, raised through the exception model: its exceptions
// (an undefined instruction, a prefetch or data abort, an exception return), its invalid accesses with
// the instruction that made them, and a floating-point instruction while CPACR keeps the FPU off.
class FaultClassifier {
public:
    FaultClassifier(CoreEngine& engine, Chip& chip, RunState& state, ExceptionModel& exceptions, BlockCache& blocks);

    // The engine's callbacks.
    void on_interrupt(uint32_t number);
    bool on_invalid_access(bool write, bool fetch, uint32_t address, unsigned size);

    // Before the engine starts: nothing reported yet.
    void clear_reported() { pending_.reset(); }
    // After the engine stopped with `err`: raises the fault it reported (an invalid access, an undefined
    // instruction), if any. True when there was one.
    bool raise_reported(uc_err err);
    // At the start of a block that holds a floating-point instruction: raises a NOCP UsageFault when
    // CPACR does not grant CP10 and CP11. True when it did.
    bool raise_if_fpu_off(const BlockInfo& info)
    {
        if (!info.first_fp || fpu_enabled()) return false;
        exceptions_.fault("UsageFault (NOCP): floating-point instruction while CPACR does not grant CP10/CP11",
                          *info.first_fp);
        return true;
    }

private:
    bool fpu_enabled() const;

    CoreEngine& engine_;
    Chip& chip_;
    RunState& state_;
    ExceptionModel& exceptions_;
    BlockCache& blocks_;
    std::optional<std::string> pending_;  // an invalid access the engine is about to report
    uint32_t pending_pc_ = 0;
};

}  // namespace sim::cpu
