// Reads the JSON lines JsonlWriter writes back into the trace's events, for programs that judge a run
// from its trace (the soak checker, the sweep, the scenario tests). Times come back in picoseconds,
// rounded from the seconds written: exact to the picosecond for the first half hour of a run, within a
// few picoseconds after that (the file keeps a double's 16 significant digits).
//
// Every kind of event the writer writes has its row in the reader's table, one for each type of the
// trace's Payload (a type without its reading does not compile). A kind the table does not have is an
// error, not a line to skip: a trace from a newer writer read by an older judge would otherwise be
// judged without the events it does not know, and pass.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"

namespace sim::trace {

// The event on one line of a trace file. A line that is not a trace event, lacks a field its kind
// always has, or names a kind this reader does not know throws std::runtime_error; the message names
// the line (when `line_number` is given) and the kind.
Event read_event(std::string_view line, size_t line_number = 0);

// The kinds the reader knows, in the table's order ("tx", "rx", ...).
std::vector<std::string> known_kinds();

// A trace file read line by line: counts the lines, so that an error names the one it is about, and
// passes over empty lines.
class JsonlReader {
public:
    // The event on the file's next line; nothing for an empty line.
    std::optional<Event> read(std::string_view line)
    {
        ++line_;
        if (line.empty()) return std::nullopt;
        return read_event(line, line_);
    }
    size_t lines_read() const { return line_; }

private:
    size_t line_ = 0;
};

}  // namespace sim::trace
