// How a run of the node ended, as whoever started it is told: the kind, the reason in words and the
// virtual time.
#pragma once

#include <string>

#include "sim_stop.h"
#include "sim_time.h"

namespace sim {

struct RunEnd {
    enum class Kind {
        TimeLimit,    // virtual time reached the limit asked for
        Halt,         // the node stopped for good; `reason` says where and why
        Interrupted,  // ended early from outside (Ctrl-C, SIGTERM)
        Failure,      // the simulator could not go on (a model's error); `reason` is its message
        Stopped,      // the emulated core stopped at a breakpoint or after a single step; it may go on
    };
    Kind kind = Kind::TimeLimit;
    std::string reason;
    Picos at = 0;
};

// The kind as the trace's "end" event names it: "time limit", "halt", "interrupted", "simulator failure".
const char* to_string(RunEnd::Kind kind);

// A Stop thrown from inside the simulated node, as the end of the run it ended.
RunEnd end_of(const Stop& stop);

}  // namespace sim
