// The event queue of the simulated chip: things that happen at a virtual time whatever the firmware
// does (a UART bit time ending, a DMA transfer, a SysTick wrap, a stimulus from a scenario).
//
// Events live in stable slots that are reused, so neither scheduling nor running one moves or
// re-creates its action; a periodic event re-arms itself from inside its action with reschedule().
// The 1 kHz tick alone runs 86.4 million times a simulated day, so this path is kept short.
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
    // Moves a pending event, or re-arms the event whose action is running now, to `at`.
    void reschedule(Id id, Picos at);
    void cancel(Id id);
    bool pending(Id id) const;

    Picos next_time() const { return next_time_; }

    // Runs every event due at or before `now`, in time order (ties in the order they were scheduled).
    // Returns whether any ran.
    bool run_due(Picos now);

    void clear();

private:
    struct Slot {
        Picos at = kNever;
        Id id = 0;          // 0: free
        uint64_t order = 0;  // tie-break among equal times: scheduling order
        Action action;
    };
    Slot* find(Id id);
    const Slot* find(Id id) const;
    void release(Slot& slot);
    void recompute_next();

    std::deque<Slot> slots_;        // stable addresses: an action may schedule while it runs
    std::vector<Slot*> armed_;      // the slots waiting for their time
    std::vector<Slot*> free_;
    Slot* running_ = nullptr;
    bool running_rearmed_ = false;
    Id next_id_ = 1;
    uint64_t next_order_ = 1;
    Picos next_time_ = kNever;
};

}  // namespace sim
