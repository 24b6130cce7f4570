// Runs nodesim as a child process and hands its trace over line by line as it is written, through a
// pipe (the child writes the trace to its descriptor 3), so that a week of trace, some 350 MB, is never
// kept on disk or in memory. The child's own output goes to our standard error.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace soak {

// Returns the child's exit status (-1 if it could not be started or did not exit normally). Without
// `show_output` the child's own output is dropped (a sweep runs thousands of them).
int run_nodesim_streaming(const std::string& nodesim, const std::vector<std::string>& arguments,
                          const std::function<void(std::string_view line)>& on_line, bool show_output = true);

// Reads JSON lines from a file the same way (a trace written earlier); returns false if it cannot be opened.
bool read_lines(const std::string& path, const std::function<void(std::string_view line)>& on_line);

}  // namespace soak
