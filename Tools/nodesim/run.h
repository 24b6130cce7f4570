// One node from reset: builds the board, hooks up the trace files and the console, applies the
// scenario, runs the firmware until the time limit, a halt or Ctrl-C, and flushes everything.
#pragma once

#include <functional>
#include <string>

#include "options.h"
#include "scenario_report.h"

namespace nodesim {

// Returns the process's exit status: 0 when the node ran (a halt of the node is a result, not a failure
// of the simulator), non-zero when the simulator could not do its job.
// Several scenario files run side by side, each in a process of its own (scenario_suite.h).
int run(const Options& options);

// One node, with the first of the scenario files if any. `report`, when given, receives the verdicts of
// the scenario (and the closing line is left to it): the run is one of a suite.
int run_one(const Options& options, const std::function<void(const sim::FileResult&)>& report);

// What ran the scenarios, for reports: "nodesim" or "nodesim --elf FILE".
std::string runner_name(const Options& options);

}  // namespace nodesim
