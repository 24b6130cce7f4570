// The event queue of the simulated chip: things that happen at a virtual time whatever the firmware
// does (a UART bit time ending, a DMA transfer, a SysTick wrap, a stimulus from a scenario).
#pragma once

#include <cstdint>
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
    void cancel(Id id);
    bool pending(Id id) const;

    Picos next_time() const { return next_time_; }

    // Runs every event due at or before `now`, in time order (ties in the order they were scheduled).
    // Returns whether any ran.
    bool run_due(Picos now);

    void clear();

private:
    struct Event {
        Picos at;
        Id id;
        Action action;
    };
    void recompute_next();

    std::vector<Event> events_;
    Id next_id_ = 1;
    Picos next_time_ = kNever;
};

}  // namespace sim
