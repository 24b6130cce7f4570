// One line of nodesim's JSON-lines trace, read into a plain record. The soak checker reads millions of
// lines a simulated week, so only the fields it judges are kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace soak {

struct TraceEvent {
    enum class Kind { Tx, Rx, Pin, Pwm, OneWire, Violation, Stimulus, Log, Halt, End, RxArmed, Other };

    double t = 0;  // virtual seconds since reset
    Kind kind = Kind::Other;
    std::string port;               // tx, rx, rx_armed
    int byte = 0;                   // tx, rx
    std::string pin;                // pin
    int level = 0;                  // pin
    double period_us = 0;           // pwm
    double high_us = 0;             // pwm
    std::string what;               // onewire, violation; the reason of halt and end; the text of log
    std::optional<double> celsius;  // onewire "conversion"
    double measured_us = 0;         // violation
    std::string verb;               // stimulus
    std::string text;               // stimulus: its arguments; a send's bytes with escapes resolved
    bool armed = false;             // rx_armed
};

// Throws std::runtime_error on a line that is not a trace event.
TraceEvent parse_trace_line(std::string_view line);

// The inverse of the trace's printable form of bytes: \r \n \t \\ and \xNN.
std::string unprintable(std::string_view text);

}  // namespace soak
