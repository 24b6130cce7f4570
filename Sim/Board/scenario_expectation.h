// Expectations: scenario lines that say what the node must do rather than what is done to it. Each is
// judged while the run goes (see scenario_judge.h); none reaches the board or the trace.
//
//     T  wait-serial  PORT WITHIN TEXT     PORT (USART1, USART2) carries TEXT, sent from T on, by T+WITHIN
//     T  no-serial    PORT FOR [TEXT]      PORT does not carry TEXT (without TEXT: any byte) from T to T+FOR
//     T  wait-temp    WITHIN CELSIUS TOL   the first temperature report from T on, by T+WITHIN, reads
//                                          CELSIUS give or take TOL
//     T  expect-led   lit|dark             at T: lit is C13 driven low; dark is C13 not driven, or high
//     T  expect-pin   PIN 0|1              at T: the level of a pin of ports A to C (C13, B12, A0)
//     T  expect-pwm   duty|high|period VALUE TOL   at T: A0 as a meter measures it (percent; microseconds)
//     T  no-halt      [FOR]                no halt from T to T+FOR (without FOR: to the end of the run)
//     T  no-violation [FOR]                no 1-Wire timing the sensor rejects, the same
//     T  no-log       [FOR]                no simulator log line, the same
//     T  wait-halt    WITHIN               the node halts by T+WITHIN
//     T  wait-reset   WITHIN [CAUSE]       the chip resets by T+WITHIN (CAUSE: power-on, pin, software,
//                                          watchdog or brown-out; a reset of another cause fails it)
//     T  no-reset     [FOR]                no reset from T to T+FOR (without FOR: to the end of the run)
//
// TEXT is the rest of the line with the escapes of `send` (a '#' in it is a byte, not a comment).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim_time.h"

namespace sim {

struct Expectation {
    enum class Kind {
        WaitSerial,
        NoSerial,
        WaitTemp,
        Led,
        Pin,
        Pwm,
        NoHalt,
        NoViolation,
        NoLog,
        WaitHalt,
        WaitReset,
        NoReset
    };
    enum class Measure { Duty, High, Period };

    Picos at = 0;
    int line = 0;
    Kind kind = Kind::WaitSerial;
    std::string written;         // the verb and its arguments as written: the expectation's name
    std::optional<Picos> until;  // the window's end; none: the end of the run (or an instant, at `at`)
    std::string port;            // serial: "USART1" or "USART2"
    std::string text;            // serial: the bytes, escapes resolved (no-serial: empty for any byte);
                                 // wait-reset: the cause (empty: any)
    char pin_port = 'C';         // expect-pin, expect-led
    int pin = 13;
    int level = 0;  // expect-pin: 0 or 1; expect-led: 1 for lit
    Measure measure = Measure::Duty;
    double value = 0;  // wait-temp: degrees Celsius; expect-pwm: percent or microseconds
    double tolerance = 0;

    // Judged at one instant (`at`), not over a window.
    bool instant() const { return kind == Kind::Led || kind == Kind::Pin || kind == Kind::Pwm; }
    // Passes by something happening in its window (rather than by something staying away).
    bool waits() const
    {
        return kind == Kind::WaitSerial || kind == Kind::WaitTemp || kind == Kind::WaitHalt || kind == Kind::WaitReset;
    }
};

// Whether `verb` names an expectation.
bool is_expectation_verb(std::string_view verb);
// The expectation of `verb` with its arguments `rest` (comments not yet cut), due at `at`. Throws
// std::invalid_argument with a message fit for the user.
Expectation parse_expectation(Picos at, std::string_view verb, std::string_view rest);

// What the expectation asks for, in words: "USART1 to carry '!A00=23.5$' from 5 s to 10 s".
std::string describe(const Expectation& expectation);

// Seconds for messages: "4.83 s", "0.020001 s" (at most six decimals, trailing zeros dropped).
std::string seconds_text(Picos t);

}  // namespace sim
