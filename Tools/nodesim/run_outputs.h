// Where a run's results go: the files named on the command line (opened before the node starts, so that
// a bad one is bad input), and the trace's sinks: the live console, the JSON-lines file, the waveform.
#pragma once

#include <fstream>
#include <memory>
#include <optional>

#include "board.h"
#include "console.h"
#include "jsonl_writer.h"
#include "options.h"
#include "run_end.h"
#include "scenario.h"
#include "trace.h"
#include "vcd_writer.h"

namespace nodesim {

// A file opened for writing from the start (truncated); throws std::runtime_error naming it.
std::unique_ptr<std::ofstream> open_output(const std::string& path);

struct RunFiles {
    std::optional<sim::Scenario> scenario;
    std::unique_ptr<std::ofstream> trace;  // JSON lines
    std::unique_ptr<std::ofstream> vcd;
    std::unique_ptr<std::ofstream> junit;

    // Throws std::runtime_error naming the file that cannot be read or written.
    static RunFiles open(const Options& options);
    // Every write to the output files went through.
    bool written() const;
};

class TraceOutputs {
public:
    // Observes `board` from now on. What the simulator logs (an access to a register no model covers)
    // goes to the developer at once and into the trace at its time.
    TraceOutputs(const Options& options, RunFiles& files, sim::Board& board);
    TraceOutputs(const TraceOutputs&) = delete;
    TraceOutputs& operator=(const TraceOutputs&) = delete;

    Console& console() { return console_; }
    // Another sink from now on (the scenario's checks), which must outlive the run.
    void add(sim::trace::Sink& sink) { trace_.add(sink); }
    // The run is over at `now`: the halt if it was one, the end, and whatever the sinks still owe.
    void finish(const sim::RunEnd& end, sim::Picos now);

private:
    sim::trace::Trace trace_;
    Console console_;
    std::optional<sim::trace::JsonlWriter> jsonl_;
    std::optional<sim::trace::VcdWriter> vcd_;
};

}  // namespace nodesim
