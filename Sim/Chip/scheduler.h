// The event queue of the simulated chip: things that happen at a virtual time whatever the firmware
// does (a UART bit time ending, a DMA transfer, a SysTick wrap, a stimulus from a scenario).
//
// Events live in stable slots that are reused, so neither scheduling nor running one moves or
// re-creates its action; a periodic event re-arms itself from inside its action with reschedule().
// The 1 kHz tick alone runs 86.4 million times a simulated day, so this path is kept short. The order
// of the waiting events is a binary heap, so a long burst queued at once (a pasted line of 10 000
// characters is 100 000 line changes) costs log n an event, not n.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim_time.h"

namespace sim {

class Scheduler {
public:
    using Action = std::function<void(Picos at)>;
    using Id = uint64_t;

    // Runs `action` once virtual time reaches `at`; it is passed `at` itself, so periodic activity can
    // schedule its next step from its own time rather than from whenever it was noticed.
    Id schedule(Picos at, Action action);
    // Moves a pending event, or re-arms the event whose action is running now, to `at`. Returns false
    // (and does nothing) when `id` is neither: it ran or was cancelled.
    bool reschedule(Id id, Picos at);
    void cancel(Id id);
    bool pending(Id id) const;
    // When the event runs; kNever when it is not pending.
    Picos due(Id id) const;

    Picos next_time() const { return next_time_; }

    // Runs every event due at or before `now`, in time order (ties in the order they were scheduled).
    // Returns whether any ran.
    bool run_due(Picos now);

    void clear();

private:
    struct Slot {
        Picos at = kNever;
        Id id = 0;           // serial << kIndexBits | index; the serial is 0 while the slot is free
        uint64_t order = 0;  // tie-break among equal times: scheduling order; unique to each arming
        Action action;
    };
    // A place in the heap. Moving or cancelling an event leaves its old entry behind, recognised as
    // stale because its order no longer matches the slot's; stale entries are dropped when they reach
    // the top, or all at once when they outnumber the live ones.
    struct Entry {
        Picos at;
        uint64_t order;
        Slot* slot;
    };
    // Ids carry their slot's index in the low bits, so finding an event is an index, not a search.
    static constexpr unsigned kIndexBits = 24;
    static constexpr Id kIndexMask = (Id{1} << kIndexBits) - 1;

    Slot* find(Id id);
    const Slot* find(Id id) const;
    void arm(Slot& slot, Picos at);
    void release(Slot& slot);
    static bool live(const Entry& entry) { return entry.slot->order == entry.order; }  // a free slot has order 0
    void drop_stale_top();
    void rebuild_heap();

    std::deque<Slot> slots_;   // stable addresses: an action may schedule while it runs
    std::vector<Entry> heap_;  // earliest first (std::push_heap with a "later than" order)
    std::vector<Slot*> free_;
    size_t armed_count_ = 0;
    Slot* running_ = nullptr;
    bool running_rearmed_ = false;
    Id next_serial_ = 1;
    uint64_t next_order_ = 1;
    Picos next_time_ = kNever;
};

}  // namespace sim
