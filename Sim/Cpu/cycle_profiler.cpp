#include "cycle_profiler.h"

#include <algorithm>
#include <cstring>

#include "memory_map.h"

namespace sim::cpu {

CycleProfiler::CycleProfiler(const ElfImage& image, Cycles now) : functions_(image), last_(count_of(now))
{
    nodes_.push_back({0, FunctionTable::kNone, 0, {}});
    // Words 0 and 1 of the vector table at the start of flash: the initial stack pointer, the reset vector.
    for (const LoadSegment& segment : image.segments()) {
        if (segment.address != kFlashBase || segment.bytes.size() < 8) continue;
        std::memcpy(&initial_sp_, segment.bytes.data(), 4);
        std::memcpy(&reset_entry_, segment.bytes.data() + 4, 4);
        reset_entry_ &= ~1U;
    }
}

void CycleProfiler::time_calls(int function)
{
    timed_[function];
}

void CycleProfiler::finish(Cycles now)
{
    charge(now);
}

const std::vector<uint64_t>& CycleProfiler::calls_of(int function) const
{
    static const std::vector<uint64_t> none;
    auto found = timed_.find(function);
    return found == timed_.end() ? none : found->second;
}

void CycleProfiler::charge(Cycles now)
{
    const uint64_t cycles = count_of(now);
    // The chip's count never goes back; a core reset under a debugger starts the stacks over, not the clock.
    const uint64_t spent = cycles > last_ ? cycles - last_ : 0;
    nodes_[stack_.empty() ? 0 : stack_.back().node].cycles += spent;
    total_ += spent;
    last_ = std::max(last_, cycles);
}

uint32_t CycleProfiler::child(uint32_t node, int function)
{
    for (uint32_t c : nodes_[node].children)
        if (nodes_[c].function == function) return c;
    const auto added = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back({node, function, 0, {}});
    nodes_[node].children.push_back(added);
    return added;
}

void CycleProfiler::push(int function, uint32_t return_address, uint32_t sp, bool exception)
{
    const uint32_t node = child(stack_.empty() ? 0 : stack_.back().node, function);
    stack_.push_back({function, node, return_address, sp, exception, total_});
}

void CycleProfiler::pop()
{
    const Frame& frame = stack_.back();
    if (auto timed = timed_.find(frame.function); timed != timed_.end())
        timed->second.push_back(total_ - frame.entered);
    stack_.pop_back();
}

void CycleProfiler::pop_exception()
{
    while (!stack_.empty()) {
        const bool handler = stack_.back().exception;
        pop();
        if (handler) return;
    }
}

int CycleProfiler::returning_frame(uint32_t address, uint32_t sp, bool any_sp) const
{
    for (size_t i = stack_.size(); i-- > 0;) {
        const Frame& frame = stack_[i];
        if (frame.exception) return -1;  // a handler returns through its exception return only
        if (frame.return_address == address && (any_sp || frame.sp == sp)) return static_cast<int>(i);
    }
    return -1;
}

void CycleProfiler::block_start(uint32_t address, uint32_t size, uint32_t sp, uint32_t lr, Cycles now)
{
    charge(now);
    if (address == reset_entry_ && sp == initial_sp_) {
        stack_.clear();  // the core's reset: what ran before is cut short
        pending_returns_ = 0;
        previous_known_ = false;
    }
    for (; pending_returns_ > 0; --pending_returns_) pop_exception();
    lowest_sp_ = std::min(lowest_sp_, sp);
    // BL and BLX end their block and leave its end in LR; nothing else does both.
    const bool called = previous_known_ && address != previous_end_ && (lr & ~1U) == previous_end_;
    const uint32_t return_address = previous_end_;
    previous_known_ = true;
    previous_end_ = address + size;

    if (!called && !stack_.empty() && functions_.holds(stack_.back().function, address)) {
        // Still in the function on top (most blocks): no return can land here unless it called itself.
        const bool recursive = stack_.size() > 1 && stack_[stack_.size() - 2].function == stack_.back().function;
        if (!recursive) return;
    }
    const int function = functions_.at(address);
    if (stack_.empty() || called) {
        push(function, called ? return_address : 0, sp, false);
        return;
    }
    if (int frame = returning_frame(address, sp, false); frame >= 0) {
        while (stack_.size() > static_cast<size_t>(frame)) pop();
        if (!stack_.empty() && stack_.back().function == function) return;
    } else if (function == stack_.back().function) {
        return;
    } else if (int missed = returning_frame(address, sp, true); missed >= 0) {
        // A return whose stack pointer did not match (a frame the rules misread).
        while (stack_.size() > static_cast<size_t>(missed)) pop();
        ++resyncs_;
        if (!stack_.empty() && stack_.back().function == function) return;
    }
    // Into another function's code without a call or a return: a tail call, a fall-through into the
    // next function, or code two functions share (the C library's double arithmetic jumps into the
    // middle of __adddf3). It goes on top of its caller and comes off with it; one such frame takes the
    // place of another, so that code passed back and forth does not pile up.
    const bool top_is_branched_to = stack_.size() > 1 && stack_.back().return_address == 0 && !stack_.back().exception;
    if (stack_.empty() || !top_is_branched_to) {
        push(function, 0, sp, false);
        return;
    }
    Frame& top = stack_.back();
    if (auto timed = timed_.find(top.function); timed != timed_.end()) timed->second.push_back(total_ - top.entered);
    top = Frame{function, child(nodes_[top.node].parent, function), 0, sp, false, total_};
}

void CycleProfiler::exception_entry(int, uint32_t handler, Cycles now)
{
    charge(now);
    for (; pending_returns_ > 0; --pending_returns_) pop_exception();
    push(functions_.at(handler), 0, 0, true);
    previous_known_ = false;
}

void CycleProfiler::exception_return()
{
    ++pending_returns_;
    previous_known_ = false;
}

void CycleProfiler::short_exception(int exception, uint32_t handler, Cycles from, Cycles to)
{
    const bool known = previous_known_;
    exception_entry(exception, handler, from);
    charge(to);
    pop_exception();
    // The interrupted block runs next, as it would have: its end is still the one to match a call against.
    previous_known_ = known;
}

std::map<std::vector<int>, uint64_t> CycleProfiler::stacks() const
{
    std::map<std::vector<int>, uint64_t> result;
    for (uint32_t n = 1; n < nodes_.size(); ++n) {
        if (nodes_[n].cycles == 0) continue;
        std::vector<int> path;
        for (uint32_t at = n; at != 0; at = nodes_[at].parent) path.push_back(nodes_[at].function);
        std::reverse(path.begin(), path.end());
        result[path] += nodes_[n].cycles;
    }
    return result;
}

void CycleProfiler::write_folded(std::ostream& out) const
{
    if (nodes_[0].cycles != 0) out << "[before the first block] " << nodes_[0].cycles << '\n';
    for (const auto& [path, cycles] : stacks()) {
        std::string line;
        for (int function : path) {
            if (!line.empty()) line += ';';
            std::string name = functions_.name(function);
            std::replace(name.begin(), name.end(), ';', ':');
            line += name;
        }
        out << line << ' ' << cycles << '\n';
    }
}

}  // namespace sim::cpu
