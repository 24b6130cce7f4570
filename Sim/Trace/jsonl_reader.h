// Reads the JSON lines JsonlWriter writes back into the trace's events, for programs that judge a run
// from its trace (the soak checker, the scenario tests). Times come back in picoseconds, rounded from
// the seconds written: exact to the picosecond for the first half hour of a run, within a few
// picoseconds after that (the file keeps a double's 16 significant digits).
#pragma once

#include <optional>
#include <string_view>

#include "trace.h"

namespace sim::trace {

// The event on one line, decoded by the table of kinds; a kind not in the table, a line that is not a
// trace event, or one that lacks a field its kind always has, throws std::runtime_error.
std::optional<Event> read_event(std::string_view line);

}  // namespace sim::trace
