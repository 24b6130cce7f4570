// Runs that share their beginning: the node runs once to a moment (--branch-at), then the process forks
// once for each branch of a file (--branches), each child adding its branch's stimuli and running on to
// the end with trace files of its own, the beginning included; the parent goes on as the run without any.
// A sweep that places a stimulus at a thousand moments a few seconds into a run pays for those seconds
// once instead of a thousand times.
//
// fork() rather than a saved and restored state: the child is the whole simulator as it stands (models,
// event queue, the firmware's stack in the host build, the engine's translated code for the image), so a
// branch is exactly the run it continues, with nothing to keep in step when a model is added, and the
// child's pages are copied only as it writes them.
//
// The moment is an event of its own in every run that names it, branches or not: the host build's polls
// of the cycle counter stride up to the next event, so an event changes their timing a little. A branch's
// stimuli go on the queue at the moment, after the events already there for the same time. So a branch
// gives exactly what a run with --branch-at and that one branch gives, whichever of its siblings ran.
//
// A branches file holds one group of scenario lines a branch, each headed by "branch NAME" (letters,
// digits, '.', '_', '-'); its stimuli must come at or after the moment. The trace of branch NAME goes
// to the --trace file's name with ".NAME" before its extension (t.jsonl: t.NAME.jsonl), the same for
// --vcd.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "board.h"
#include "run_outputs.h"
#include "scenario.h"
#include "sim_time.h"

namespace nodesim {

struct Branch {
    std::string name;
    sim::Scenario scenario;
};

// Throws std::runtime_error (bad input) naming the file and line.
std::vector<Branch> load_branches(const std::string& path, sim::Picos moment);

// Where branch `name`'s copy of an output file goes.
std::string branch_path(const std::string& path, const std::string& name);

class Brancher {
public:
    // Puts the moment on `board`'s queue; with `branches`, the forks happen there, at most --jobs children
    // at a time (0: one per core).
    Brancher(sim::Board& board, RunFiles& files, const Options& options, std::vector<Branch> branches);
    Brancher(const Brancher&) = delete;
    Brancher& operator=(const Brancher&) = delete;

    // In a child: the branch it runs. In the parent: nullptr.
    const Branch* branch() const { return branch_; }
    // A child, its run over and its files written: ends the process with `status` at once (the
    // simulator's memory goes with the process, without taking it down piece by piece).
    [[noreturn]] void end_branch(int status);
    // The parent, its run over: the children's exit statuses gathered; false when one did not end with 0
    // (each named on standard error).
    bool children_succeeded();

private:
    void fork_branches();
    void become(const Branch& branch);
    void reap_one();

    sim::Board& board_;
    RunFiles& files_;
    const Options& options_;
    std::vector<Branch> branches_;
    const Branch* branch_ = nullptr;
    unsigned jobs_ = 1;
    std::vector<std::pair<pid_t, const Branch*>> running_;
    std::vector<std::string> failed_;
};

}  // namespace nodesim
