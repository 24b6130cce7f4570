// Writes the trace as JSON lines, one event a line, for programs (the scenario tests, a notebook):
//   {"t":4.812345,"kind":"tx","port":"USART1","byte":33}
// `t` is virtual seconds since reset. Pin events are written only for the pins asked for (by default
// the LED, C13, and the switch, B12): the 1-Wire line changes hundreds of times a measurement and has
// its own "onewire" events.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>

#include "trace.h"

namespace sim::trace {

class JsonlWriter final : public Sink {
public:
    explicit JsonlWriter(std::ostream& out, std::set<std::string> pins = {"B12", "C13"});

    void record(const Event& event) override;
    void finish(Picos end) override;

    // The JSON object of one event.
    static nlohmann::ordered_json to_json(const Event& event);

private:
    std::ostream& out_;
    std::set<std::string> pins_;
};

}  // namespace sim::trace
