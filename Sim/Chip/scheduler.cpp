#include "scheduler.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

// The heap keeps its earliest entry on top: "a comes after b" is the heap's less-than.
struct Later {
    template <typename Entry>
    bool operator()(const Entry& a, const Entry& b) const
    {
        return a.at > b.at || (a.at == b.at && a.order > b.order);
    }
};

}  // namespace

Scheduler::Id Scheduler::schedule(Picos at, Action action)
{
    Slot* slot;
    if (free_.empty()) {
        if (slots_.size() > kIndexMask) throw std::length_error("scheduler: more than 16 million events pending");
        slots_.emplace_back();
        slot = &slots_.back();
        slot->id = slots_.size() - 1;  // the index, kept in the low bits of every id the slot gets
    } else {
        slot = free_.back();
        free_.pop_back();
    }
    slot->id = (next_serial_++ << kIndexBits) | (slot->id & kIndexMask);
    slot->action = std::move(action);
    ++armed_count_;
    arm(*slot, at);
    return slot->id;
}

void Scheduler::arm(Slot& slot, Picos at)
{
    slot.at = at;
    slot.order = next_order_++;
    heap_.push_back({at, slot.order, &slot});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    if (at < next_time_) set_next_time(at);
    // Events moved again and again leave stale entries; keep them from outgrowing the live ones.
    if (heap_.size() > 4 * armed_count_ + 64) rebuild_heap();
}

Scheduler::Slot* Scheduler::find(Id id)
{
    Id index = id & kIndexMask;
    if (id == 0 || index >= slots_.size()) return nullptr;
    Slot& slot = slots_[index];
    return slot.id == id && &slot != running_ ? &slot : nullptr;
}

const Scheduler::Slot* Scheduler::find(Id id) const
{
    return const_cast<Scheduler*>(this)->find(id);
}

bool Scheduler::reschedule(Id id, Picos at)
{
    if (running_ != nullptr && running_->id == id) {
        // Re-armed from its own action: it goes back on the heap when the action returns.
        running_->at = at;
        running_->order = next_order_++;
        running_rearmed_ = true;
        return true;
    }
    Slot* slot = find(id);
    if (slot == nullptr) return false;
    arm(*slot, at);  // the old entry is stale now
    drop_stale_top();
    return true;
}

void Scheduler::cancel(Id id)
{
    if (running_ != nullptr && running_->id == id) {
        running_rearmed_ = false;
        return;
    }
    if (Slot* slot = find(id)) {
        release(*slot);
        --armed_count_;
        drop_stale_top();
    }
}

bool Scheduler::pending(Id id) const
{
    if (running_ != nullptr && running_->id == id) return running_rearmed_;
    return find(id) != nullptr;
}

Picos Scheduler::due(Id id) const
{
    if (running_ != nullptr && running_->id == id) return running_rearmed_ ? running_->at : kNever;
    const Slot* slot = find(id);
    return slot != nullptr ? slot->at : kNever;
}

void Scheduler::release(Slot& slot)
{
    slot.id &= kIndexMask;  // free, but the slot still knows its index
    slot.at = kNever;
    slot.order = 0;
    slot.action = nullptr;
    free_.push_back(&slot);
}

// Pops stale entries off the top, so that next_time_ is the earliest live event's time.
void Scheduler::drop_stale_top()
{
    while (!heap_.empty() && !live(heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        heap_.pop_back();
    }
    refresh_next_time();
}

void Scheduler::rebuild_heap()
{
    std::erase_if(heap_, [](const Entry& e) { return !live(e); });
    std::make_heap(heap_.begin(), heap_.end(), Later{});
    refresh_next_time();
}

void Scheduler::claim_direct(DirectAction action, void* owner)
{
    if (direct_.action != nullptr) throw std::logic_error("scheduler: the direct slot is already claimed");
    direct_ = Direct{.action = action, .owner = owner};
}

void Scheduler::release_direct()
{
    direct_ = Direct{};
    refresh_next_time();
}

void Scheduler::run_heap_top()
{
    // The earliest event; among equal times the one scheduled first.
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    Slot* slot = heap_.back().slot;
    heap_.pop_back();
    --armed_count_;
    drop_stale_top();

    Slot* outer = running_;
    bool outer_rearmed = running_rearmed_;
    running_ = slot;
    running_rearmed_ = false;
    slot->action(slot->at);
    running_ = outer;
    if (running_rearmed_) {
        ++armed_count_;
        heap_.push_back({slot->at, slot->order, slot});
        std::push_heap(heap_.begin(), heap_.end(), Later{});
        if (slot->at < next_time_) set_next_time(slot->at);
    } else {
        release(*slot);
    }
    running_rearmed_ = outer_rearmed;
}

void Scheduler::clear()
{
    for (const Entry& entry : heap_)
        if (live(entry)) release(*entry.slot);
    heap_.clear();
    armed_count_ = 0;
    direct_.at = kNever;
    set_next_time(kNever);
}

}  // namespace sim
