// One node from reset: builds the board, hooks up the trace files and the console, applies the
// scenario, runs the firmware until the time limit, a halt or Ctrl-C, and flushes everything.
#pragma once

#include "options.h"

namespace nodesim {

// Returns the process's exit status: 0 when the node ran (a halt of the node is a result, not a failure
// of the simulator), non-zero when the simulator could not do its job.
int run(const Options& options);

}  // namespace nodesim
