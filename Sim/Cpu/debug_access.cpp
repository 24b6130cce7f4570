#include "debug_access.h"

#include <algorithm>

namespace sim::cpu {

void DebugAccess::set_breakpoints(const std::vector<uint32_t>& addresses)
{
    // Code translated before knows nothing of a new breakpoint (nor forgets an old one): the engine would
    // run through it until the block is translated again. Drop the translations around the changes.
    auto drop = [this](const std::vector<uint32_t>& from, const std::vector<uint32_t>& unless) {
        for (uint32_t address : from)
            if (std::find(unless.begin(), unless.end(), address) == unless.end())
                engine_.drop_translation(address, address + 4ULL);
    };
    drop(breakpoints_, addresses);
    drop(addresses, breakpoints_);
    breakpoints_ = addresses;
    state_.set_breakpoints(!breakpoints_.empty());
    set_exits(addresses);
}

bool DebugAccess::at_breakpoint(uint32_t pc) const
{
    return std::find(breakpoints_.begin(), breakpoints_.end(), pc) != breakpoints_.end();
}

// The engine ends its blocks at, and stops on reaching, these addresses.
void DebugAccess::set_exits(const std::vector<uint32_t>& addresses)
{
    std::vector<uint64_t> exits(addresses.begin(), addresses.end());
    if (exits.empty()) {
        uc_ctl_exits_disable(engine_.uc());
    } else {
        uc_ctl_exits_enable(engine_.uc());
        uc_ctl_set_exits(engine_.uc(), exits.data(), exits.size());
    }
    uc_ctl_flush_tlb(engine_.uc());
}

RunEnd DebugAccess::step()
{
    chip_.set_time_limit(kNever);
    state_.begin_run();
    // The step runs the instruction even at a breakpoint: the exits go for it, the breakpoints stay.
    if (!breakpoints_.empty()) set_exits({});
    state_.set_stepping(true);
    faults_.clear_reported();
    uc_err err = engine_.start(engine_.reg(UC_ARM_REG_PC), 1);
    state_.set_stepping(false);
    if (!state_.ended()) faults_.raise_reported(err);
    if (!breakpoints_.empty()) set_exits(breakpoints_);
    if (state_.ended()) return state_.end();
    return RunEnd{RunEnd::Kind::Stopped, "step", chip_.now()};
}

bool DebugAccess::read(uint32_t address, uint8_t* out, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t at = address + i;
        if (const uint8_t* from = engine_.at(at, 1)) {
            out[i] = *from;
        } else if (in_range(at, kPeripheralBase, kPeripheralSize) || in_range(at, kPrivateBusBase, kPrivateBusSize)) {
            // Through the register's model, a word at a time, as the debug port reads it, and without a
            // read's effects: a debugger looking at SysTick's CTRL must not clear its COUNTFLAG.
            out[i] = static_cast<uint8_t>(chip_.peek(at) >> (8 * (at & 3U)));
        } else {
            return false;
        }
    }
    return true;
}

bool DebugAccess::write(uint32_t address, const uint8_t* in, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t at = address + i;
        if (uint8_t* to = engine_.at(at, 1)) {
            *to = in[i];
        } else if (in_range(at, kPeripheralBase, kPeripheralSize) || in_range(at, kPrivateBusBase, kPrivateBusSize)) {
            chip_.master_write(at, in[i], 1);
        } else {
            return false;
        }
    }
    // Code the debugger changed (a patched instruction) must be translated again.
    engine_.drop_translation(address, uint64_t{address} + size);
    blocks_.clear();
    exceptions_.forget_handlers();
    return true;
}

void DebugAccess::read_register(int uc_register, uint64_t* value) const
{
    *value = 0;
    uc_reg_read(engine_.uc(), uc_register, value);
}

void DebugAccess::write_register(int uc_register, uint64_t value)
{
    uc_reg_write(engine_.uc(), uc_register, &value);
    if (uc_register == UC_ARM_REG_PC) state_.watch().forget();
}

}  // namespace sim::cpu
