// One scenario file played against a board over its serial link, in real time (or faster, against a
// simulator paced with --speed): wait for the node's greeting after its reset, which sets the clock;
// then send each frame and break at its time, and judge what the link shows with the same judge as the
// simulator's. Times seen over a link are late by the adapter's latency (and the simulator's 10 ms steps,
// times the speed), so each window is widened (a wait) or narrowed (an absence) by a slack.
#pragma once

#include <chrono>
#include <string>

#include "scenario.h"
#include "scenario_report.h"
#include "serial_device.h"

namespace nodecheck {

struct BoardSetup {
    std::string port = "USART1";  // the node's port the device is wired to
    double speed = 1.0;           // virtual seconds to a wall second
    double slack = 0.05;          // seconds of virtual time a window gives
    std::chrono::milliseconds greeting_timeout{10'000};
    std::string reset_command;  // run before waiting for the greeting (empty: the user resets the board)
    bool quiet = false;
};

struct BoardOutcome {
    enum class Ending { Done, NoGreeting, DeviceLost };
    Ending ending = Ending::Done;
    std::string problem;  // what went wrong, for NoGreeting and DeviceLost
    sim::FileResult result;
};

BoardOutcome run_on_board(const sim::Scenario& scenario, SerialDevice& device, const BoardSetup& setup);

// The virtual time of the end of the greeting on USART1 (its last stop bit): the clock's anchor.
constexpr double kGreetingEnd = 0.0153;

}  // namespace nodecheck
