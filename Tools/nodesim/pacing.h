// A periodic event on the chip's queue that holds virtual time to the wall clock (when paced) and gives
// the rest of the tool its turn (reading typed lines, printing, passing bytes to and from a serial
// endpoint, noticing Ctrl-C). A step every 10 ms of wall time is fine-grained enough for a person and
// costs nothing next to the 1 kHz tick.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "timer.h"

namespace nodesim {

class Pacer {
public:
    using Tick = std::function<void(sim::Picos at)>;

    // `speed`: virtual seconds per wall second; 0 runs as fast as the simulator goes.
    Pacer(sim::Scheduler& scheduler, sim::Picos period, double speed, Tick tick);
    // First step at `at`; the wall clock is taken as in step with virtual time from now on.
    void start(sim::Picos at);

private:
    void step(sim::Picos at);

    sim::Picos period_;
    double speed_;
    Tick tick_;
    std::chrono::steady_clock::time_point wall_origin_;
    sim::Picos virtual_origin_ = 0;
    sim::Timer step_timer_;
};

// Lines typed on standard input, read without blocking.
class LineReader {
public:
    // Lines completed since the last call (without their line ending).
    std::vector<std::string> poll();
    bool open() const { return open_; }

private:
    std::string partial_;
    bool open_ = true;
};

}  // namespace nodesim
