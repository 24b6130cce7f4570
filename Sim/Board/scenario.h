// Scenarios: short text files of timed stimuli and expectations for a whole-node run, one a line:
//
//     # comment
//     SECONDS VERB ARGS      (or +SECONDS: after the line before)
//     0.5   send V01=75$         the rest of the line, C escapes \r \n \t \\ \0 \xNN, sent back to back
//     2     break 10             the dashboard holds its line low for 10 ms (a framing error)
//     3     noise                the next byte from the dashboard arrives with noise
//     4     switch 1             0, 1 or float
//     5     temp -10.125         degrees Celsius at the sensor, -55 to 125
//     6     sensor absent        ok, absent, low (line held low) or corrupt (bits flipped in a read)
//     0     crystal missing      the board without its 25 MHz crystal (only at 0: a part, not an event)
//     7     reset                the reset button: NRST held low for 20 us
//     8     power off            the supply gone (power on: back; the chip starts from power-on reset)
//     9     brownout 50          the supply below the brown-out threshold for 50 ms
//     10    fault hardfault      the core takes a HardFault at its next instruction boundary
//     11    stuck usart1-txe     USART1's TXE never sets again (until a reset): a polled send waits for ever
//
// and the expectations of scenario_expectation.h (wait-serial, expect-led...).
//
// SECONDS is virtual time since reset, a decimal number (at most 12 digits after the point, so every time
// is a whole number of picoseconds); "+SECONDS" counts from the line before's time; lines come in time
// order. A '#' starts a comment on any line but a
// send line, whose text is taken as it stands (write \x23 for a '#' to be safe anyway). Trailing blanks
// are dropped (write \x20 for a trailing space). Errors name the file and the line.
#pragma once

#include <functional>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "scenario_expectation.h"
#include "scheduler.h"
#include "sim_time.h"
#include "switch_model.h"

namespace sim {

enum class SensorCondition { Ok, Absent, HeldLow, Corrupt };

std::optional<SensorCondition> parse_sensor_condition(std::string_view text);
const char* to_string(SensorCondition condition);

struct ScenarioStep {
    enum class Verb { Send, Break, Noise, Switch, Temp, Sensor, Reset, Power, Brownout, Fault, Stuck };

    Picos at = 0;
    int line = 0;
    Verb verb = Verb::Send;
    std::string bytes;   // send: the bytes, escapes resolved
    Picos length = 0;    // break: how long the line is held low; brownout: how long the supply is low
    bool on = false;     // power: on or off
    double celsius = 0;  // temp
    SwitchPosition position = SwitchPosition::Floating;
    SensorCondition sensor = SensorCondition::Ok;
    std::string args;  // the arguments as written, for traces
};

const char* to_string(ScenarioStep::Verb verb);

struct Scenario {
    std::string name;
    std::vector<ScenarioStep> steps;  // the stimuli
    std::vector<Expectation> expectations;
    int crystal_missing_line = 0;  // the line of "0 crystal missing"; 0: the board has its crystal

    // The latest time a line names: the last stimulus, the last instant or window's end.
    Picos last_time() const;
};

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ScenarioError ("NAME:LINE: what is wrong").
Scenario parse_scenario(std::istream& in, const std::string& name);
Scenario load_scenario(const std::string& path);
// The scenario files named, a folder standing for its *.scenario files in name order. Throws
// ScenarioError for a folder that holds none.
std::vector<std::string> scenario_files(const std::vector<std::string>& paths);

// Helpers of the parser, also used by the command line: a time in seconds, and C escapes. Both throw
// std::invalid_argument with a message fit for the user.
Picos parse_seconds(std::string_view text);
std::string unescape(std::string_view text);

// Puts every step on the chip's event queue, to be handed to `apply` (the board) at its time.
void schedule_scenario(const Scenario& scenario, Scheduler& scheduler, std::function<void(const ScenarioStep&)> apply);

}  // namespace sim
