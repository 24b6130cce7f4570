// How the engine reports what a Cortex-M4 raises as a fault: its exception numbers, and the fault each
// one is, as a halt names it.
#pragma once

#include <cstdint>

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

}  // namespace sim::cpu
