#include "wait_loop.h"

namespace sim::cpu {

void WaitLoopWatch::bus_read(uint32_t address, uint32_t value, bool counter, Picos at)
{
    if (address == kCycleCounterAddress && counter) {
        ++counter_reads_;
        counter_value_ = value;
        counter_read_at_ = at - head_time_;
    } else if (counter) {
        other_counter_read_ = true;
    } else {
        ++other_reads_;
        other_reads_hash_ = (other_reads_hash_ * 1000003U) ^ ((uint64_t{address} << 32) | value);
    }
}

void WaitLoopWatch::new_iteration(Picos now)
{
    head_time_ = now;
    position_ = 1;
    instructions_ = 0;
    only_registers_ = true;
    registers_known_ = true;
    live_in_ = 0;
    written_ = 0;
    writes_ = 0;
    other_reads_ = 0;
    other_reads_hash_ = 0;
    other_counter_read_ = false;
    counter_reads_ = 0;
}

void WaitLoopWatch::start(uint32_t address, Picos now)
{
    // The blocks since the previous visit of `address`, oldest first, are one iteration.
    size_t period = 0;
    for (size_t p = 1; p <= kMaxPeriod; ++p) {
        if (back(p) == address) {
            period = p;
            break;
        }
    }
    if (period == 0) return;
    blocks_.clear();
    for (size_t i = period; i >= 1; --i) blocks_.push_back(back(i));
    tracking_ = true;
    clean_ = 0;
    last_head_.reset();
    have_counter_ = false;
    new_iteration(now);
}

bool WaitLoopWatch::block(uint32_t address, const BlockInfo& info, Picos now)
{
    history_[history_next_] = address;
    history_next_ = (history_next_ + 1) & (kHistory - 1);

    bool at_head = false;
    if (tracking_) {
        if (address == blocks_[0] && position_ == blocks_.size()) {
            // A counter read with other reads: the loop may stop on either; not worked out here.
            bool clean = only_registers_ && writes_ == 0 && !other_counter_read_ &&
                         (counter_reads_ == 0 || (counter_reads_ == 1 && other_reads_ == 0));
            if (clean) {
                iteration_time_ = now - head_time_;
                iteration_instructions_ = instructions_;
                iteration_live_in_ = registers_known_ ? live_in_ : 0xFFFF;
                iteration_counter_reads_ = counter_reads_;
                iteration_other_reads_ = other_reads_;
                iteration_reads_hash_ = other_reads_hash_;
                iteration_counter_read_at_ = counter_read_at_;
                if (counter_reads_ == 1) {
                    counter_step_ = counter_value_ - last_counter_;
                    last_counter_ = counter_value_;
                }
                at_head = true;
                new_iteration(now);
            } else {
                tracking_ = false;
            }
        } else if (position_ < blocks_.size() && blocks_[position_] == address) {
            ++position_;
        } else {
            tracking_ = false;
        }
    }
    if (!tracking_) start(address, now);
    if (tracking_) {
        instructions_ += info.instructions;
        only_registers_ = only_registers_ && info.only_registers;
        registers_known_ = registers_known_ && info.registers_known;
        live_in_ |= static_cast<uint16_t>(info.live_in & ~written_);
        written_ |= info.written;
    }
    return at_head;
}

std::optional<WaitLoop> WaitLoopWatch::at_head(const HeadState& state)
{
    std::optional<WaitLoop> found;
    ++clean_;
    bool steady = clean_ >= 2 && last_head_ && iteration_time_ == last_iteration_time_ && iteration_time_ > 0;
    if (steady && state.flags == last_head_->flags) {
        uint16_t changed = 0;
        for (size_t r = 0; r < state.registers.size(); ++r)
            if (state.registers[r] != last_head_->registers[r]) changed |= static_cast<uint16_t>(1U << r);
        bool waits_for_event = iteration_counter_reads_ == 0 && changed == 0 &&
                               (iteration_other_reads_ == 0 || iteration_reads_hash_ == last_reads_hash_);
        bool waits_for_count =
            iteration_counter_reads_ == 1 && have_counter_ && counter_step_ != 0 && (changed & iteration_live_in_) == 0;
        if (waits_for_event || waits_for_count) {
            found = WaitLoop{blocks_[0],
                             blocks_,
                             iteration_time_,
                             iteration_instructions_,
                             waits_for_count,
                             last_counter_,
                             counter_step_,
                             iteration_live_in_,
                             iteration_other_reads_ > 0,
                             iteration_counter_read_at_};
            tracking_ = false;  // the caller jumps; watching starts again from wherever it lands
        }
    }
    have_counter_ = iteration_counter_reads_ == 1;
    last_reads_hash_ = iteration_reads_hash_;
    last_head_ = state;
    last_iteration_time_ = iteration_time_;
    return found;
}

}  // namespace sim::cpu
