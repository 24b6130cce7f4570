#include "scheduler.h"

#include <algorithm>

namespace sim {

Scheduler::Id Scheduler::schedule(Picos at, Action action)
{
    Slot* slot;
    if (free_.empty()) {
        slots_.emplace_back();
        slot = &slots_.back();
    } else {
        slot = free_.back();
        free_.pop_back();
    }
    slot->at = at;
    slot->id = next_id_++;
    slot->order = next_order_++;
    slot->action = std::move(action);
    armed_.push_back(slot);
    if (at < next_time_) next_time_ = at;
    return slot->id;
}

Scheduler::Slot* Scheduler::find(Id id)
{
    for (Slot* slot : armed_)
        if (slot->id == id) return slot;
    return nullptr;
}

const Scheduler::Slot* Scheduler::find(Id id) const
{
    for (const Slot* slot : armed_)
        if (slot->id == id) return slot;
    return nullptr;
}

void Scheduler::reschedule(Id id, Picos at)
{
    if (running_ != nullptr && running_->id == id) {
        running_->at = at;
        running_->order = next_order_++;
        running_rearmed_ = true;
        return;
    }
    if (Slot* slot = find(id)) {
        slot->at = at;
        slot->order = next_order_++;
        recompute_next();
    }
}

void Scheduler::cancel(Id id)
{
    if (running_ != nullptr && running_->id == id) {
        running_rearmed_ = false;
        return;
    }
    auto it = std::find_if(armed_.begin(), armed_.end(), [id](const Slot* s) { return s->id == id; });
    if (it == armed_.end()) return;
    Slot* slot = *it;
    *it = armed_.back();
    armed_.pop_back();
    release(*slot);
    recompute_next();
}

bool Scheduler::pending(Id id) const
{
    if (running_ != nullptr && running_->id == id) return running_rearmed_;
    return find(id) != nullptr;
}

void Scheduler::release(Slot& slot)
{
    slot.id = 0;
    slot.at = kNever;
    slot.action = nullptr;
    free_.push_back(&slot);
}

bool Scheduler::run_due(Picos now)
{
    bool ran = false;
    while (next_time_ <= now) {
        // The earliest event; among equal times the one scheduled first.
        auto it = std::min_element(armed_.begin(), armed_.end(), [](const Slot* a, const Slot* b) {
            return a->at < b->at || (a->at == b->at && a->order < b->order);
        });
        Slot* slot = *it;
        *it = armed_.back();
        armed_.pop_back();
        recompute_next();

        Slot* outer = running_;
        bool outer_rearmed = running_rearmed_;
        running_ = slot;
        running_rearmed_ = false;
        slot->action(slot->at);
        running_ = outer;
        if (running_rearmed_) {
            armed_.push_back(slot);
            if (slot->at < next_time_) next_time_ = slot->at;
        } else {
            release(*slot);
        }
        running_rearmed_ = outer_rearmed;
        ran = true;
    }
    return ran;
}

void Scheduler::clear()
{
    for (Slot* slot : armed_) release(*slot);
    armed_.clear();
    next_time_ = kNever;
}

void Scheduler::recompute_next()
{
    next_time_ = kNever;
    for (const Slot* slot : armed_) next_time_ = std::min(next_time_, slot->at);
}

}  // namespace sim
