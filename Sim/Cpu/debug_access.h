// What a debugger (the GDB server) reaches: breakpoints, single steps, the core's registers and memory,
// and the chip's registers through their models, with no time passing.
#pragma once

#include <cstdint>
#include <vector>

#include "block_cache.h"
#include "chip.h"
#include "core_engine.h"
#include "core_exceptions.h"
#include "faults.h"
#include "run_state.h"

namespace sim::cpu {

class DebugAccess {
public:
    DebugAccess(CoreEngine& engine, Chip& chip, RunState& state, ExceptionModel& exceptions, FaultClassifier& faults,
                BlockCache& blocks)
        : engine_(engine), chip_(chip), state_(state), exceptions_(exceptions), faults_(faults), blocks_(blocks)
    {}

    // A run stops before an instruction at a breakpoint; a step executes one instruction and takes no
    // interrupt (a pending one is taken by the next run), as with the debugger masking them.
    void set_breakpoints(const std::vector<uint32_t>& addresses);
    bool at_breakpoint(uint32_t pc) const;
    RunEnd step();
    // The chip's registers and the core's memories as a debugger reads and writes them: no time passes.
    bool read(uint32_t address, uint8_t* out, uint32_t size);
    bool write(uint32_t address, const uint8_t* in, uint32_t size);
    // Any register of the engine (UC_ARM_REG_*), up to 64 bits wide (the FP d registers).
    void read_register(int uc_register, uint64_t* value) const;
    void write_register(int uc_register, uint64_t value);

private:
    void set_exits(const std::vector<uint32_t>& addresses);

    CoreEngine& engine_;
    Chip& chip_;
    RunState& state_;
    ExceptionModel& exceptions_;
    FaultClassifier& faults_;
    BlockCache& blocks_;
    std::vector<uint32_t> breakpoints_;
};

}  // namespace sim::cpu
