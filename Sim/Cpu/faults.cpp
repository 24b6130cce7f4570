// Faults: the engine's exceptions and invalid accesses classified as the Cortex-M4's faults, escalated to
// HardFault, and the end of the run once the image's own handler settles into its loop.
#include "faults.h"

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include "hex_text.h"
#include "image_runner.h"

namespace sim::cpu {

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
