// Whether the node is there: it reports every cycle (the temperature, then the switch, even when the
// reading failed), so a node that has sent nothing for two cycles has missed two reports and is
// offline, whatever the state of the link (a board that hangs keeps its serial adapter).
//
// The cycle is measured, not assumed: a simulated node run faster than real time has a shorter
// one. It is the longest gap among the last few reports (the two reports of one cycle come 20 ms
// apart, so every other gap is a whole cycle), never more than the node's own 4.83 s (a gap while
// the node was away is not a cycle) nor less than 0.2 s (reports that queued up while the dashboard
// was held up, read at once, are not a fast node).
#pragma once

#include <deque>

#include "node_facts.h"

namespace dashboard::mqtt {

class NodePresence {
public:
    static constexpr double kReportCycle = node_facts::kReportCycleSeconds;
    // Offline after two cycles' silence and a tenth of one for the second report's own lateness.
    static constexpr double kSilentCycles = 2.1;
    static constexpr double kShortestCycle = 0.2;

    // A report arrived at `t` (seconds).
    void on_report(double t);
    // The report cycle, measured (kReportCycle until three reports have come).
    double cycle() const;
    // True when a report came within the last kSilentCycles cycles before `now`.
    bool present(double now) const;

private:
    static constexpr std::size_t kKept = 9;  // eight gaps: at least four whole cycles among them
    std::deque<double> times_;
};

}  // namespace dashboard::mqtt
