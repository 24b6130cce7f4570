#include "scenario_expectation.h"

#include <array>
#include <cstdio>
#include <stdexcept>

#include "reset_cause.h"
#include "scenario.h"
#include "scenario_text.h"
#include "trace.h"

namespace sim {

namespace {

using namespace scenario_text;
using Kind = Expectation::Kind;

struct VerbName {
    const char* name;
    Kind kind;
};
constexpr std::array<VerbName, 12> kVerbs = {{
    {"wait-serial", Kind::WaitSerial},
    {"no-serial", Kind::NoSerial},
    {"wait-temp", Kind::WaitTemp},
    {"expect-led", Kind::Led},
    {"expect-pin", Kind::Pin},
    {"expect-pwm", Kind::Pwm},
    {"no-halt", Kind::NoHalt},
    {"no-violation", Kind::NoViolation},
    {"no-log", Kind::NoLog},
    {"wait-halt", Kind::WaitHalt},
    {"wait-reset", Kind::WaitReset},
    {"no-reset", Kind::NoReset},
}};

const VerbName* find_verb(std::string_view verb)
{
    for (const VerbName& v : kVerbs)
        if (verb == v.name) return &v;
    return nullptr;
}

// A window's length: more than 0 s.
Picos parse_window(std::string_view word, const char* verb)
{
    if (word.empty()) throw std::invalid_argument(std::string(verb) + " needs the window's length in seconds");
    Picos length = parse_seconds(word);
    if (length == 0) throw std::invalid_argument(std::string(verb) + "'s window must be longer than 0 s");
    return length;
}

std::string parse_port(std::string_view word, const char* verb)
{
    if (word == "USART1" || word == "USART2") return std::string(word);
    throw std::invalid_argument(std::string(verb) + " takes the port USART1 or USART2, not " + quoted(word));
}

double parse_tolerance(std::string_view word)
{
    if (word.empty()) throw std::invalid_argument("the tolerance is missing (give 0 for an exact value)");
    double tolerance = parse_number(word, "a tolerance");
    if (tolerance < 0) throw std::invalid_argument("a tolerance is 0 or more, not " + shown(word));
    return tolerance;
}

// "C13": ports A to C, pins 0 to 15.
void parse_pin(Expectation& e, std::string_view word)
{
    const std::string bad =
        "expect-pin takes a pin such as C13, B12 or A0 (ports A to C, pins 0 to 15), not " + quoted(word);
    if (word.size() < 2 || word.size() > 3 || word[0] < 'A' || word[0] > 'C') throw std::invalid_argument(bad);
    int pin = 0;
    for (char c : word.substr(1)) {
        if (c < '0' || c > '9') throw std::invalid_argument(bad);
        pin = pin * 10 + (c - '0');
    }
    if (pin > 15 || (word.size() == 3 && word[1] == '0')) throw std::invalid_argument(bad);
    e.pin_port = word[0];
    e.pin = pin;
}

void no_more(std::string_view rest, const char* verb)
{
    if (!rest.empty()) throw std::invalid_argument("unexpected " + quoted(rest) + " after " + verb + "'s arguments");
}

}  // namespace

bool is_expectation_verb(std::string_view verb)
{
    return find_verb(verb) != nullptr;
}

Expectation parse_expectation(Picos at, std::string_view verb, std::string_view rest)
{
    const VerbName* found = find_verb(verb);
    if (found == nullptr) throw std::invalid_argument("unknown expectation " + quoted(verb));
    const char* name = found->name;
    Expectation e;
    e.at = at;
    e.kind = found->kind;
    const bool text_follows = e.kind == Kind::WaitSerial || e.kind == Kind::NoSerial;
    const std::string_view arguments = text_follows ? trim(rest) : before_comment(rest);
    e.written = std::string(verb) + (arguments.empty() ? "" : " " + std::string(arguments));

    if (text_follows) {
        // The text is the rest of the line as written, as for send.
        e.port = parse_port(next_word(rest), name);
        e.until = at + parse_window(next_word(rest), name);
        e.text = unescape(rest);
        if (e.kind == Kind::WaitSerial && e.text.empty())
            throw std::invalid_argument("wait-serial needs the text to wait for");
        return e;
    }

    rest = arguments;
    switch (e.kind) {
        case Kind::WaitTemp:
            e.until = at + parse_window(next_word(rest), name);
            e.value = parse_number(next_word(rest), "a temperature");
            e.tolerance = parse_tolerance(next_word(rest));
            break;
        case Kind::Led: {
            std::string_view state = next_word(rest);
            if (state != "lit" && state != "dark")
                throw std::invalid_argument("expect-led takes lit or dark, not " + quoted(state));
            e.level = state == "lit" ? 1 : 0;
            break;
        }
        case Kind::Pin: {
            parse_pin(e, next_word(rest));
            std::string_view level = next_word(rest);
            if (level != "0" && level != "1")
                throw std::invalid_argument("expect-pin takes the level 0 or 1, not " + quoted(level));
            e.level = level == "1" ? 1 : 0;
            break;
        }
        case Kind::Pwm: {
            std::string_view measure = next_word(rest);
            if (measure == "duty") {
                e.measure = Expectation::Measure::Duty;
            } else if (measure == "high") {
                e.measure = Expectation::Measure::High;
            } else if (measure == "period") {
                e.measure = Expectation::Measure::Period;
            } else {
                throw std::invalid_argument("expect-pwm measures duty (percent), high or period (microseconds), not " +
                                            quoted(measure));
            }
            e.value = parse_number(next_word(rest), "a PWM value");
            e.tolerance = parse_tolerance(next_word(rest));
            break;
        }
        case Kind::WaitHalt:
            e.until = at + parse_window(next_word(rest), name);
            break;
        case Kind::WaitReset:
            e.until = at + parse_window(next_word(rest), name);
            if (std::string_view cause = next_word(rest); !cause.empty()) {
                if (!reset_cause_named(cause))
                    throw std::invalid_argument(
                        "wait-reset takes the cause power-on, pin, software, watchdog or brown-out, not " +
                        quoted(cause));
                e.text = std::string(cause);
            }
            break;
        case Kind::NoReset:
        case Kind::NoHalt:
        case Kind::NoViolation:
        case Kind::NoLog:
            if (std::string_view length = next_word(rest); !length.empty()) e.until = at + parse_window(length, name);
            break;
        case Kind::WaitSerial:
        case Kind::NoSerial:
            break;
    }
    no_more(rest, name);
    return e;
}

std::string seconds_text(Picos t)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6f", to_seconds(t));
    std::string out = text;
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') out.pop_back();
    return out + " s";
}

std::string describe(const Expectation& e)
{
    const std::string from = seconds_text(e.at);
    const std::string window =
        e.until ? "from " + from + " to " + seconds_text(*e.until) : "from " + from + " to the end of the run";
    switch (e.kind) {
        case Kind::WaitSerial:
            return e.port + " to carry '" + trace::printable(e.text) + "' " + window;
        case Kind::NoSerial:
            return e.text.empty() ? e.port + " silent " + window
                                  : e.port + " not to carry '" + trace::printable(e.text) + "' " + window;
        case Kind::WaitTemp: {
            char text[80];
            std::snprintf(text, sizeof text, "a temperature report of %g C give or take %g ", e.value, e.tolerance);
            return text + window;
        }
        case Kind::Led:
            return std::string("the LED (C13) ") + (e.level ? "lit (driven low)" : "dark (not driven low)") + " at " +
                   from;
        case Kind::Pin:
            return std::string(1, e.pin_port) + std::to_string(e.pin) + " at level " + std::to_string(e.level) +
                   " at " + from;
        case Kind::Pwm: {
            char text[120];
            const char* unit = e.measure == Expectation::Measure::Duty ? " %" : " us";
            const char* what = e.measure == Expectation::Measure::Duty   ? "duty"
                               : e.measure == Expectation::Measure::High ? "high time"
                                                                         : "period";
            std::snprintf(text, sizeof text, "the PWM on A0 with a %s of %g%s give or take %g%s at ", what, e.value,
                          unit, e.tolerance, unit);
            return text + from;
        }
        case Kind::NoHalt:
            return "no halt " + window;
        case Kind::NoViolation:
            return "no 1-Wire timing violation " + window;
        case Kind::NoLog:
            return "no simulator log line " + window;
        case Kind::WaitHalt:
            return "the node to halt " + window;
        case Kind::WaitReset:
            return (e.text.empty() ? std::string("a reset ") : "a reset (" + e.text + ") ") + window;
        case Kind::NoReset:
            return "no reset " + window;
    }
    return "?";
}

}  // namespace sim
