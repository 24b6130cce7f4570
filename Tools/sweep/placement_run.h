// One run of the sweep: the node from reset under a scenario, judged by the soak's checker. Every
// placement is one call of run_placement, independent of the others, so that a runner that shares the
// common part of the runs (the node up to a moment before the window) can take its place.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim_time.h"
#include "soak_tally.h"
#include "trace.h"

namespace sweep {

// How to run the node: the host build's nodesim, or the image on its emulated core.
struct NodeProgram {
    std::string nodesim;
    std::string elf;  // empty: the built-in firmware
};

struct Placement {
    std::string scenario;  // the whole scenario: the baseline's lines and the stimulus
    sim::Picos duration = 0;
    std::optional<sim::Picos> branch_at;  // the moment the sweep's run of it branches (an event in its own run too)
};

struct Verdict {
    bool passed = false;
    std::string failure;  // the checker's first failure, or why the run could not be made
    // On the image: the instruction boundaries at which interrupts were taken from the branch moment on.
    std::set<uint32_t> interrupt_pcs;
};

// The checker's judgement of a run.
Verdict judge(const soak::SoakTally& tally);

// Runs the placement and judges its trace as it streams out of nodesim.
Verdict run_placement(const NodeProgram& program, const Placement& placement);

// Runs the baseline and keeps its trace, from which the moments are found. Throws when the run fails.
std::vector<sim::trace::Event> run_baseline(const NodeProgram& program, const Placement& baseline);

// The command line of nodesim for a placement whose scenario is in `scenario_file` (for a person).
std::vector<std::string> nodesim_arguments(const NodeProgram& program, const std::string& scenario_file,
                                           sim::Picos duration, std::optional<sim::Picos> branch_at = std::nullopt);

// The arguments that have the image's run write where its interrupts were taken to `file` (none for the
// host build, whose code has no instruction boundaries to name).
std::vector<std::string> interrupt_pcs_arguments(const NodeProgram& program, const std::string& file);

}  // namespace sweep
