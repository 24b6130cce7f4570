#include "scheduler.h"

#include <algorithm>

namespace sim {

Scheduler::Id Scheduler::schedule(Picos at, Action action)
{
    Id id = next_id_++;
    events_.push_back(Event{at, id, std::move(action)});
    if (at < next_time_) next_time_ = at;
    return id;
}

void Scheduler::cancel(Id id)
{
    auto it = std::find_if(events_.begin(), events_.end(), [id](const Event& e) { return e.id == id; });
    if (it == events_.end()) return;
    if (it != events_.end() - 1) *it = std::move(events_.back());
    events_.pop_back();
    recompute_next();
}

bool Scheduler::pending(Id id) const
{
    return std::any_of(events_.begin(), events_.end(), [id](const Event& e) { return e.id == id; });
}

bool Scheduler::run_due(Picos now)
{
    bool ran = false;
    while (next_time_ <= now) {
        // The earliest event; among equal times the one scheduled first (lowest id).
        auto it = std::min_element(events_.begin(), events_.end(), [](const Event& a, const Event& b) {
            return a.at < b.at || (a.at == b.at && a.id < b.id);
        });
        Event event = std::move(*it);
        // Order in the vector does not matter (the earliest is searched for), so remove by swapping.
        if (it != events_.end() - 1) *it = std::move(events_.back());
        events_.pop_back();
        recompute_next();
        event.action(event.at);
        ran = true;
    }
    return ran;
}

void Scheduler::clear()
{
    events_.clear();
    next_time_ = kNever;
}

void Scheduler::recompute_next()
{
    next_time_ = kNever;
    for (const Event& e : events_) next_time_ = std::min(next_time_, e.at);
}

}  // namespace sim
