// How a run of the firmware ends. The firmware never returns from main, so the simulator ends a run
// by throwing this from inside the register access (or NOP) that reached the end; the runner catches it.
#pragma once

#include <stdexcept>
#include <string>

#include "sim_time.h"

namespace sim {

class Stop : public std::runtime_error {
public:
    enum class Kind {
        TimeLimit,    // virtual time reached the limit set on the chip
        Halt,         // the node stopped for good (a fault loop, interrupts masked and the core spinning)
        Interrupted,  // whoever runs the node ended the run early (Ctrl-C, a program's SIGTERM)
    };
    Stop(Kind kind, std::string reason, Picos at)
        : std::runtime_error(reason), kind_(kind), reason_(std::move(reason)), at_(at)
    {}
    Kind kind() const { return kind_; }
    bool halted() const { return kind_ == Kind::Halt; }
    const std::string& reason() const { return reason_; }
    Picos at() const { return at_; }

private:
    Kind kind_;
    std::string reason_;
    Picos at_;
};

// Thrown from inside a register access (or NOP) of the host build's firmware once the chip has a reset
// to perform: it unwinds the firmware's stack to the runner, which resets the chip and starts the
// firmware again from its reset vector. Not a std::exception, so that nothing on the way takes it for a
// failure.
struct ResetSignal {};

}  // namespace sim
