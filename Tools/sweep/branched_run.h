// The placements of a window as the branches of one nodesim run (its --branch-at and --branches): the
// node runs once to a moment shortly before the window, then forks once for each placement, so that the
// seconds before the window are simulated once rather than once per placement. Each branch is exactly
// the run nodesim makes of that one branch alone, which is how a placement is reproduced.
#pragma once

#include <string>
#include <vector>

#include "placement_run.h"
#include "sim_time.h"
#include "stimuli.h"

namespace sweep {

// The moment a placement's run branches from the shared beginning: on a 1 ms grid, at least 10 us before
// the placement's first stimulus. It follows from the placement alone, so that its reproduction branches
// where the sweep did; the placements of one window mostly share it (one across a grid line gets a run of
// its own).
sim::Picos branch_moment(const std::vector<ScenarioStep>& stimulus);

struct Branched {
    std::string base_scenario;  // the lines every placement shares
    sim::Picos moment = 0;
    sim::Picos duration = 0;
    std::vector<std::vector<ScenarioStep>> stimuli;  // each placement's lines, all at or after the moment
};

// One verdict per placement, in order.
std::vector<Verdict> run_branched(const NodeProgram& program, const Branched& runs, unsigned jobs);

}  // namespace sweep
