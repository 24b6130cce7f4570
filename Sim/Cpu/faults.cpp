#include "faults.h"

#include <capstone/capstone.h>

#include "hex_text.h"

namespace sim::cpu {

FaultClassifier::FaultClassifier(CoreEngine& engine, Chip& chip, RunState& state, ExceptionModel& exceptions,
                                 BlockCache& blocks)
    : engine_(engine), chip_(chip), state_(state), exceptions_(exceptions), blocks_(blocks)
{}

void FaultClassifier::on_interrupt(uint32_t number)
{
    uint32_t pc = engine_.reg(UC_ARM_REG_PC);
    try {
        if (number == kExceptionExit) {
            exceptions_.return_from_exception();
            return;
        }
        if (const char* what = fault_of(number)) {
            exceptions_.fault(what, pc);
            return;
        }
        state_.halt(number == kBreakpoint ? "breakpoint instruction at pc " + hex_text(pc)
                                          : "core exception " + std::to_string(number) + " at pc " + hex_text(pc));
    } catch (const std::exception& error) {
        state_.end_run(RunEnd{RunEnd::Kind::Failure, error.what(), chip_.now()});
    }
    engine_.stop();
}

bool FaultClassifier::on_invalid_access(bool write, bool fetch, uint32_t address, unsigned size)
{
    std::string kind = fetch   ? "instruction fetch from"
                       : write ? "write of " + std::to_string(size) + " bytes to"
                               : "read of " + std::to_string(size) + " bytes from";
    bool mapped = engine_.at(address, 1) != nullptr;
    // The engine's PC is the block's start here; find the instruction that made the access.
    const uint32_t block = state_.block_address();
    pending_pc_ = block;
    if (const uint8_t* code = engine_.at(block, state_.block_size()); code != nullptr && !fetch) {
        auto register_value = [this](unsigned capstone_register) {
            if (capstone_register >= ARM_REG_R0 && capstone_register <= ARM_REG_R12)
                return engine_.reg(UC_ARM_REG_R0 + static_cast<int>(capstone_register - ARM_REG_R0));
            if (capstone_register == ARM_REG_SP) return engine_.reg(UC_ARM_REG_SP);
            if (capstone_register == ARM_REG_LR) return engine_.reg(UC_ARM_REG_LR);
            return 0U;
        };
        if (auto at = blocks_.find_access(block, state_.block_size(), code, address, register_value)) pending_pc_ = *at;
    } else if (fetch) {
        pending_pc_ = address;
    }
    pending_ = "BusFault: " + kind + (mapped ? " read-only address " : " unmapped address ") + hex_text(address);
    return false;  // the engine stops; the run raises the fault through HardFault
}

bool FaultClassifier::raise_reported(uc_err err)
{
    if (pending_) {
        const std::string what = std::move(*pending_);
        pending_.reset();
        exceptions_.fault(what, pending_pc_);
        return true;
    }
    if (err == UC_ERR_INSN_INVALID) {
        exceptions_.fault(fault_of(kUndefined), engine_.reg(UC_ARM_REG_PC));
        return true;
    }
    return false;
}

bool FaultClassifier::fpu_enabled() const
{
    // CP10 and CP11 (single and double precision) each need privileged (01) or full (11) access.
    uint32_t cpacr = chip_.scb.cpacr();
    uint32_t cp10 = (cpacr >> 20) & 3U;
    uint32_t cp11 = (cpacr >> 22) & 3U;
    return (cp10 == 1 || cp10 == 3) && cp11 == cp10;
}

}  // namespace sim::cpu
