#include "board_reach.h"

#include "node_facts.h"

namespace nodecheck {

namespace {

using Verb = sim::ScenarioStep::Verb;
using Kind = sim::Expectation::Kind;

// Whether an expected text names a report: its tag, with or without the '=' ("!A00", "!A01=1$").
bool mentions(const std::string& text, std::string_view tag)
{
    return text.find(tag.substr(0, tag.size() - 1)) != std::string::npos;
}

}  // namespace

BoardReach::BoardReach(const sim::Scenario& scenario, std::string port, bool can_reset)
    : port_(std::move(port)), can_reset_(can_reset)
{
    if (scenario.crystal_missing_line != 0)
        unknown_.push_back({0, scenario.crystal_missing_line, "crystal missing", false, false, true});
    for (const sim::ScenarioStep& step : scenario.steps) {
        if (!unplayable(step)) continue;
        const bool temperature = step.verb == Verb::Temp || step.verb == Verb::Sensor;
        // A reset, power cycle or fault not played leaves the whole node's behaviour after it unknown.
        const bool everything = step.verb == Verb::Reset || step.verb == Verb::Power || step.verb == Verb::Brownout ||
                                step.verb == Verb::Fault || step.verb == Verb::Stuck;
        unknown_.push_back(
            {step.at, step.line, sim::to_string(step.verb), temperature, step.verb == Verb::Switch, everything});
    }
}

std::optional<std::string> BoardReach::unplayable(const sim::ScenarioStep& step) const
{
    switch (step.verb) {
        case Verb::Send:
        case Verb::Break:
            if (port_ != "USART1") return "the device is USART2's, and the node takes commands on USART1 only";
            return std::nullopt;
        case Verb::Noise:
            return "a serial adapter sends no noisy byte";
        case Verb::Switch:
            return "the switch is not moved over the serial link";
        case Verb::Temp:
            return "the sensor's temperature is not set over the serial link";
        case Verb::Sensor:
            return "the sensor's faults are not made over the serial link";
        case Verb::Reset:
            if (!can_reset_) return "no --reset-command to reset the board with";
            return std::nullopt;
        case Verb::Power:
        case Verb::Brownout:
            return "the board's supply is not switched over the serial link";
        case Verb::Fault:
        case Verb::Stuck:
            return "faults are injected into the simulated chip only";
    }
    return "unknown stimulus";
}

std::optional<std::string> BoardReach::unjudgeable(const sim::Expectation& e) const
{
    switch (e.kind) {
        case Kind::Led:
        case Kind::Pin:
        case Kind::Pwm:
            return "the board's pins are out of the serial link's sight";
        case Kind::NoHalt:
        case Kind::WaitHalt:
            return "a halt is seen by the simulator only";
        case Kind::NoViolation:
            return "1-Wire timings are judged by the simulator's sensor only";
        case Kind::NoLog:
            return "log lines are the simulator's";
        case Kind::WaitReset:
        case Kind::NoReset:
            return "a reset is seen by the simulator only";
        case Kind::WaitSerial:
        case Kind::NoSerial:
            if (e.port != port_) return "the device is " + port_ + "'s, not " + e.port + "'s";
            break;
        case Kind::WaitTemp:
            if (port_ != "USART1") return "the device is " + port_ + "'s, and the reports go on USART1";
            break;
    }
    for (const Unknown& u : unknown_) {
        if (e.at < u.at) continue;
        const bool temperature = e.kind == Kind::WaitTemp || mentions(e.text, node_facts::kTemperatureTag);
        if (u.everything || (u.temperature && temperature) ||
            (u.switch_report && mentions(e.text, node_facts::kSwitchTag)))
            return "it depends on line " + std::to_string(u.line) + " (" + u.verb + "), which was not played";
    }
    return std::nullopt;
}

}  // namespace nodecheck
