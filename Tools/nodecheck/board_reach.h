// What a run against a board over one serial link can do of a scenario. It can send frames and breaks
// on USART1 and see what the node sends on the port its device is wired to; it cannot set the sensor's
// temperature or faults, move the switch, put noise on the line or take the crystal off, and it sees
// no pin, no PWM, no halt, no 1-Wire timing and no simulator log. What it cannot do is skipped, by name,
// never passed; and an expectation of what such a skipped stimulus would have changed (a report of the
// temperature after a skipped "temp", anything after a skipped "crystal missing") is skipped with it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace nodecheck {

class BoardReach {
public:
    // `port`: "USART1" or "USART2", the port the device is wired to.
    // `can_reset`: a command resets the board (nodecheck's --reset-command), so `reset` can be played.
    BoardReach(const sim::Scenario& scenario, std::string port, bool can_reset = false);

    // Why the stimulus cannot be played; none when it can.
    std::optional<std::string> unplayable(const sim::ScenarioStep& step) const;
    // Why the expectation cannot be judged; none when it can.
    std::optional<std::string> unjudgeable(const sim::Expectation& expectation) const;

private:
    // A stimulus skipped at `at` leaves what it would have changed unknown from then on.
    struct Unknown {
        sim::Picos at;
        int line;
        std::string verb;
        bool temperature;  // the temperature reports
        bool switch_report;
        bool everything;
    };

    std::string port_;
    bool can_reset_ = false;
    std::vector<Unknown> unknown_;
};

}  // namespace nodecheck
