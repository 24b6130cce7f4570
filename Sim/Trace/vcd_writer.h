// Writes the node's pins as a value change dump (VCD) for waveform viewers (GTKWave, PulseView).
//
// Every pin but one follows the trace's pin events. The PWM pin is the exception: at 50 Hz it has
// 8.6 million edges a simulated day, so nobody reports them one by one; the writer asks the timer for the
// edges between the last time written and the next (`EdgeSource`) just before it writes that next time,
// and so interleaves them with the other pins in time order. Time unit: 1 ns (a bit at 9600 baud is
// 104 167 ns, a 1-Wire slot about 64 000 ns).
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "trace.h"

namespace sim::trace {

class VcdWriter final : public Sink {
public:
    // Calls `edge(at, level)` for every edge of the computed pin in [from, to).
    using EdgeSource = std::function<void(Picos from, Picos to, const std::function<void(Picos at, int level)>& edge)>;

    struct PinSpec {
        std::string name;  // "C13"
        int initial = -1;  // level at time 0; -1 unknown (written as x)
    };

    // `computed` names the pin whose edges come from `edges` (empty: none).
    VcdWriter(std::ostream& out, std::vector<PinSpec> pins, std::string computed = {}, EdgeSource edges = {});

    void record(const Event& event) override;
    void finish(Picos end) override;

private:
    void catch_up(Picos to);
    void change(Picos at, size_t index, int level);
    void stamp(Picos at);

    std::ostream& out_;
    std::vector<PinSpec> pins_;
    std::vector<std::string> ids_;
    std::vector<int> levels_;
    std::string computed_;
    size_t computed_index_ = SIZE_MAX;
    EdgeSource edges_;
    Picos caught_up_ = 0;      // the computed pin's edges are written up to here
    uint64_t stamped_ns_ = 0;  // the last "#time" line written
    bool finished_ = false;
};

}  // namespace sim::trace
