// What a debugger (the GDB server) reaches: breakpoints, single steps, the core's registers and memory,
// and the chip's registers through their models, with no time passing.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "faults.h"
#include "hex_text.h"
#include "image_runner.h"

namespace sim::cpu {

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

}  // namespace sim::cpu
