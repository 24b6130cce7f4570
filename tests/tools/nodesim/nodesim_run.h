// Runs the nodesim program as a separate process, one node from reset, and reads back its trace.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "trace.h"

namespace scenario_test {

struct Byte {
    double t;
    char c;
};

// An event of the trace with its time in seconds.
template <class Kind>
struct Timed {
    double t;
    Kind what;
};

struct NodeRun {
    int status = -1;                        // exit status of nodesim
    std::string output;                     // its stdout and stderr
    std::vector<sim::trace::Event> events;  // the trace

    // Every event of one kind (sim::trace::Pwm, sim::trace::Stimulus...), in time order.
    template <class Kind>
    std::vector<Timed<Kind>> of_kind() const
    {
        std::vector<Timed<Kind>> out;
        for (const auto& e : events)
            if (const auto* what = std::get_if<Kind>(&e.what)) out.push_back({sim::to_seconds(e.t), *what});
        return out;
    }
    // The bytes the node sent on "USART1" or "USART2", with their times.
    std::vector<Byte> sent(const std::string& port) const;
    std::string text(const std::string& port) const;
    // The node's messages on USART1 after the greeting, each ending in '$', with the time of its
    // first byte.
    struct Message {
        double t;
        std::string text;
    };
    std::vector<Message> reports() const;
    // The level changes of one pin after its level at reset.
    std::vector<std::pair<double, int>> pin(const std::string& name) const;
    // Every event of one pin: its state at reset, then each change of its level or of whether the chip
    // drives it.
    std::vector<Timed<sim::trace::PinLevel>> pin_states(const std::string& name) const;
    const sim::trace::Event& last() const { return events.back(); }
    // Why the run ended, from the trace's last event; empty when the trace does not end with its end.
    std::string end_reason() const;
};

// A JSON-lines trace file's text with the stimuli's scenario line numbers left out (a branch's lines are
// numbered in its branches file).
std::string without_line_numbers(const std::string& path);

// The events of a JSON-lines trace file, in its order.
std::vector<sim::trace::Event> read_trace(const std::string& path);

// Everything a pipe gives until it closes.
std::string read_all(FILE* pipe);

// The directory the current test's run writes its files to (scenario, trace, anything asked for).
std::string test_directory();
// The same directory emptied (made when missing) for a new run: a failed run's files stay there to be
// looked at until the test runs again.
std::string fresh_test_directory();

// Runs nodesim --fast --quiet with `scenario` (none when empty) for `seconds` of virtual time, plus
// `extra` options.
NodeRun run_node(const std::string& scenario, double seconds, const std::vector<std::string>& extra = {});

}  // namespace scenario_test
