// The stimuli the sweep places, each written as scenario lines timed so that it hits the board at a
// given moment: a character on the dashboard's line hits when the port's receiver has it (the middle
// of its stop bit, when RXNE and the error flags come up), a switch edge or a sensor fault when it
// happens.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_time.h"

namespace sweep {

enum class StimulusKind {
    Noise,        // a noisy byte, then a command right behind it: a missed error shows as the command taken
    Break,        // the line held low for 2 ms (a framing error), then the same command
    FrameFirst,   // a command frame whose first byte completes at the moment
    FrameLast,    // a command frame whose last byte completes at the moment
    SwitchEdge,   // the switch from 0 to 1
    SensorFault,  // the sensor stops answering, back 20 ms later
};
constexpr StimulusKind kStimulusKinds[] = {StimulusKind::Noise,      StimulusKind::Break,
                                           StimulusKind::FrameFirst, StimulusKind::FrameLast,
                                           StimulusKind::SwitchEdge, StimulusKind::SensorFault};

const char* stimulus_name(StimulusKind kind);  // noise, break, frame-first, frame-last, switch, sensor
std::optional<StimulusKind> stimulus_from_name(std::string_view name);

// One scenario line: when, and the verb with its arguments.
struct ScenarioStep {
    sim::Picos at = 0;
    std::string action;
};

// How long before the moment it hits the stimulus's first step comes (a frame's earlier bytes).
sim::Picos stimulus_lead(StimulusKind kind);

// The scenario steps that make `kind` hit at `at` (at least stimulus_lead(kind)).
std::vector<ScenarioStep> stimulus_steps(StimulusKind kind, sim::Picos at);

// A scenario file's text: the steps in time order (a scenario's lines must be), those at the same time
// in the order given.
std::string scenario_text(std::vector<ScenarioStep> steps);

// A time as scenario files write it: seconds, to the picosecond.
std::string seconds_text(sim::Picos t);

}  // namespace sweep
