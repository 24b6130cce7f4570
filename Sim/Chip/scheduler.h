// The event queue of the simulated chip: things that happen at a virtual time whatever the firmware
// does (a UART bit time ending, a DMA transfer, a SysTick wrap, a stimulus from a scenario).
//
// Events live in stable slots that are reused, so neither scheduling nor running one moves or
// re-creates its action; a periodic event re-arms itself from inside its action with reschedule().
// The 1 kHz tick alone runs 86.4 million times a simulated day, so this path is kept short. The order
// of the waiting events is a binary heap, so a long burst queued at once (a pasted line of 10 000
// characters is 100 000 line changes) costs log n an event, not n.
//
// One event may live beside the heap instead of in it, in the direct slot: the periodic one that runs
// most often (the SysTick wrap). Arming, running and re-arming it touches no heap and goes through a
// plain function pointer rather than a std::function; it takes its place among the other events by the
// same rule (time, then the order of arming), so that moving it there changes no order of events.
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
    // The earlier of next_time() and a limit that the owner sets (the end of the run): one comparison with
    // it tells a register access whether it has anything to do besides the access, where the two
    // comparisons it replaces cost twice as much on every access.
    Picos horizon() const { return horizon_; }
    // The end of the run, kept here alone.
    Picos limit() const { return limit_; }
    void set_limit(Picos limit)
    {
        limit_ = limit;
        set_next_time(next_time_);
    }

    // The direct slot: `action(owner, at)` runs when the slot's event is due. One owner at a time
    // (std::logic_error otherwise); released, its event is cancelled.
    using DirectAction = void (*)(void* owner, Picos at);
    void claim_direct(DirectAction action, void* owner);
    void release_direct();
    // Arms the direct event at `at`, moving it if it is armed; from inside its own action this re-arms it.
    // Inside the direct action the next time is brought up to date once the action returns.
    void arm_direct(Picos at)
    {
        direct_.at = at;
        direct_.order = next_order_++;
        if (!direct_running_) refresh_next_time();
    }
    void cancel_direct()
    {
        direct_.at = kNever;
        refresh_next_time();
    }
    // When the direct event runs; kNever when it is not armed (as inside its own action until re-armed).
    Picos direct_due() const { return direct_.at; }
    // Whether the direct event is due by `until` and nothing else is (no heap event up to then, nor at its
    // time, which might come first): then run_direct() alone does what run_due(until) would do before the
    // direct action, and run_due() need only be asked again if the action scheduled something due.
    bool direct_alone_until(Picos until) const
    {
        return direct_.at == next_time_ && direct_.at <= until && (heap_.empty() || heap_.front().at > until);
    }

    // Runs the direct event (which is due). While the action runs, next_time() still gives the event's old
    // time (nothing in the action asks for it): the action usually re-arms the event, and the next time is
    // worked out once, after it.
    void run_direct()
    {
        run_direct_as([this](Picos at) { direct_.action(direct_.owner, at); });
    }
    // The same with `action(at)` called in place of the stored action, for the slot's owner (direct_owner()),
    // which knows what its action is and need not reach it through the function pointer.
    template <class Action>
    void run_direct_as(Action&& action)
    {
        const Picos at = direct_.at;
        direct_.at = kNever;  // not armed while its action runs, unless the action re-arms it
        direct_running_ = true;
        action(at);
        direct_running_ = false;
        refresh_next_time();
    }
    const void* direct_owner() const { return direct_.owner; }

    // Runs every event due at or before `now`, in time order (ties in the order they were scheduled).
    // Returns whether any ran. Inline, with the direct event, so that the tick does not leave the chip's
    // access path for it.
    bool run_due(Picos now)
    {
        bool ran = false;
        while (next_time_ <= now) {
            if (direct_.at <= now && direct_first())
                run_direct();
            else
                run_heap_top();
            ran = true;
        }
        return ran;
    }

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
    // Whether the direct event comes before the heap's earliest (which is live).
    bool direct_first() const
    {
        if (heap_.empty()) return true;
        const Entry& top = heap_.front();
        return direct_.at < top.at || (direct_.at == top.at && direct_.order < top.order);
    }
    void refresh_next_time()
    {
        const Picos heap_time = heap_.empty() ? kNever : heap_.front().at;
        set_next_time(direct_.at < heap_time ? direct_.at : heap_time);
    }
    void set_next_time(Picos t)
    {
        next_time_ = t;
        horizon_ = t < limit_ ? t : limit_;
    }
    // Runs the heap's earliest event (which is due).
    [[gnu::noinline]] void run_heap_top();

    struct Direct {
        Picos at = kNever;
        uint64_t order = 0;
        DirectAction action = nullptr;
        void* owner = nullptr;
    };

    std::deque<Slot> slots_;   // stable addresses: an action may schedule while it runs
    std::vector<Entry> heap_;  // earliest first (std::push_heap with a "later than" order)
    std::vector<Slot*> free_;
    size_t armed_count_ = 0;
    Slot* running_ = nullptr;
    bool running_rearmed_ = false;
    Id next_serial_ = 1;
    uint64_t next_order_ = 1;
    Picos next_time_ = kNever;  // the earlier of the heap's top and the direct event
    Picos limit_ = kNever;
    Picos horizon_ = kNever;
    bool direct_running_ = false;
    Direct direct_;
};

}  // namespace sim
