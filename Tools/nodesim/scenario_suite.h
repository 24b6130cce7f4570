// Several scenario files in one nodesim: each runs a node of its own from reset in a child process (the
// host build's firmware keeps its state in globals, one node to a process), as many at once as asked
// (one per core by default). A child hands its verdicts back over a pipe as JSON; the parent prints a
// line per file and a summary, writes the JUnit report, and ends with the worst status of any file.
#pragma once

#include "options.h"

namespace nodesim {

int run_suite(const Options& options);

}  // namespace nodesim
