// Two runs of the node whose report cycles differ slightly in length (the host build's cycle is about
// 1 ms longer than the image's: its accelerated wait on the cycle counter ends up to a tick late) see a
// stimulus near a cycle's start in different cycles once they have drifted apart by more than its
// distance from that start. To compare them over a long scenario, the second run gets the scenario with
// each stimulus moved to the same place in its own cycle: times between the ends of two cycles' reports
// in the first run are mapped linearly onto the same two moments of the second.
#pragma once

#include <string>
#include <vector>

#include "trace.h"

namespace scenario_test {

// When each report cycle's last report (the switch's "!A01=n$") ended, in seconds, in order.
std::vector<double> report_ends(const std::vector<sim::trace::Event>& events);

// A time of the run whose reports ended at `from` moved to the same place in the cycles of the run whose
// reports ended at `to` (cycle k to cycle k). Before the first end: unchanged (both runs start alike);
// after the last: by the last offset.
double aligned_time(double t, const std::vector<double>& from, const std::vector<double>& to);

// The times of a scenario's stimuli, in its order.
std::vector<double> stimulus_times(const std::string& scenario);

// The scenario with every stimulus's time aligned so; comments, blank lines and the rest of each line as
// they were. Times are written to the nanosecond.
std::string aligned_scenario(const std::string& scenario, const std::vector<double>& from,
                             const std::vector<double>& to);

}  // namespace scenario_test
