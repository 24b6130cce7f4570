// Runs the nodesim program as a separate process, one node from reset, and reads back its trace.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace scenario_test {

struct Byte {
    double t;
    char c;
};

struct NodeRun {
    int status = -1;                     // exit status of nodesim
    std::string output;                  // its stdout and stderr
    std::vector<nlohmann::json> events;  // the trace, one object a line

    // Everything of one kind, in time order.
    std::vector<nlohmann::json> of_kind(const std::string& kind) const;
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
    // The level changes of one pin.
    std::vector<std::pair<double, int>> pin(const std::string& name) const;
    const nlohmann::json& last() const { return events.back(); }
};

// The directory the current test's run writes its files to (scenario, trace, anything asked for).
std::string test_directory();

// Runs nodesim --fast --quiet with `scenario` (none when empty) for `seconds` of virtual time, plus
// `extra` options.
NodeRun run_node(const std::string& scenario, double seconds, const std::vector<std::string>& extra = {});

}  // namespace scenario_test
