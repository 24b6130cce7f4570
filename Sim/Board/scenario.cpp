#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

#include "scenario_expectation.h"
#include "hex_digits.h"
#include "scenario_text.h"

namespace sim {

namespace {

using namespace scenario_text;

ScenarioStep parse_step(Picos at, std::string_view verb, std::string_view rest)
{
    ScenarioStep step;
    step.at = at;

    if (verb == "send") {
        // The text is the rest of the line as written: a '#' in it is a byte, not a comment.
        step.verb = ScenarioStep::Verb::Send;
        step.args = std::string(rest);
        step.bytes = unescape(rest);
        if (step.bytes.empty()) throw std::invalid_argument("send needs the text to send");
        return step;
    }

    rest = before_comment(rest);
    step.args = std::string(rest);
    std::string_view argument = next_word(rest);
    if (!rest.empty())
        throw std::invalid_argument("unexpected " + scenario_text::quoted(rest) + " after " + std::string(verb) +
                                    "'s argument");

    if (verb == "break") {
        step.verb = ScenarioStep::Verb::Break;
        if (argument.empty()) throw std::invalid_argument("break needs its length in milliseconds");
        double ms = parse_number(argument, "the length of a break");
        // Anything shorter than a character (1.04 ms at 9600 baud) is a bad byte, not a break.
        if (ms <= 0 || ms > 60'000) throw std::invalid_argument("a break lasts more than 0 and at most 60000 ms");
        step.length = static_cast<Picos>(std::llround(ms * static_cast<double>(kPicosPerMilli)));
    } else if (verb == "noise") {
        step.verb = ScenarioStep::Verb::Noise;
        if (!argument.empty()) throw std::invalid_argument("noise takes no argument");
    } else if (verb == "switch") {
        step.verb = ScenarioStep::Verb::Switch;
        auto position = parse_switch_position(argument);
        if (!position)
            throw std::invalid_argument("switch takes 0, 1 or float, not " + scenario_text::quoted(argument));
        step.position = *position;
    } else if (verb == "temp") {
        step.verb = ScenarioStep::Verb::Temp;
        if (argument.empty()) throw std::invalid_argument("temp needs degrees Celsius");
        step.celsius = parse_number(argument, "a temperature");
        if (step.celsius < -55 || step.celsius > 125)
            throw std::invalid_argument("the DS18B20 measures -55 to 125 C, not " + shown(argument));
    } else if (verb == "sensor") {
        step.verb = ScenarioStep::Verb::Sensor;
        auto condition = parse_sensor_condition(argument);
        if (!condition)
            throw std::invalid_argument("sensor takes ok, absent, low or corrupt, not " +
                                        scenario_text::quoted(argument));
        step.sensor = *condition;
    } else if (verb == "reset") {
        step.verb = ScenarioStep::Verb::Reset;
        if (!argument.empty()) throw std::invalid_argument("reset takes no argument");
    } else if (verb == "power") {
        step.verb = ScenarioStep::Verb::Power;
        if (argument != "on" && argument != "off")
            throw std::invalid_argument("power takes on or off, not " + scenario_text::quoted(argument));
        step.on = argument == "on";
    } else if (verb == "brownout") {
        step.verb = ScenarioStep::Verb::Brownout;
        if (argument.empty()) throw std::invalid_argument("brownout needs its length in milliseconds");
        double ms = parse_number(argument, "the length of a brown-out");
        if (ms <= 0 || ms > 60'000) throw std::invalid_argument("a brown-out lasts more than 0 and at most 60000 ms");
        step.length = static_cast<Picos>(std::llround(ms * static_cast<double>(kPicosPerMilli)));
    } else if (verb == "fault") {
        step.verb = ScenarioStep::Verb::Fault;
        if (argument != "hardfault")
            throw std::invalid_argument("fault takes hardfault, not " + scenario_text::quoted(argument));
    } else if (verb == "stuck") {
        step.verb = ScenarioStep::Verb::Stuck;
        if (argument != "usart1-txe")
            throw std::invalid_argument("stuck takes usart1-txe, not " + scenario_text::quoted(argument));
    } else {
        throw std::invalid_argument("unknown verb " + scenario_text::quoted(verb) +
                                    " (send, break, noise, switch, temp, sensor, crystal, reset, power, brownout, "
                                    "fault, stuck; wait-serial, no-serial, wait-temp, expect-led, expect-pin, "
                                    "expect-pwm, no-halt, no-violation, no-log, wait-halt, wait-reset, no-reset)");
    }
    return step;
}

}  // namespace

std::optional<SensorCondition> parse_sensor_condition(std::string_view text)
{
    if (text == "ok") return SensorCondition::Ok;
    if (text == "absent") return SensorCondition::Absent;
    if (text == "low") return SensorCondition::HeldLow;
    if (text == "corrupt") return SensorCondition::Corrupt;
    return std::nullopt;
}

const char* to_string(SensorCondition condition)
{
    switch (condition) {
        case SensorCondition::Ok:
            return "ok";
        case SensorCondition::Absent:
            return "absent";
        case SensorCondition::HeldLow:
            return "low";
        case SensorCondition::Corrupt:
            return "corrupt";
    }
    return "?";
}

const char* to_string(ScenarioStep::Verb verb)
{
    switch (verb) {
        case ScenarioStep::Verb::Send:
            return "send";
        case ScenarioStep::Verb::Break:
            return "break";
        case ScenarioStep::Verb::Noise:
            return "noise";
        case ScenarioStep::Verb::Switch:
            return "switch";
        case ScenarioStep::Verb::Temp:
            return "temp";
        case ScenarioStep::Verb::Sensor:
            return "sensor";
        case ScenarioStep::Verb::Reset:
            return "reset";
        case ScenarioStep::Verb::Power:
            return "power";
        case ScenarioStep::Verb::Brownout:
            return "brownout";
        case ScenarioStep::Verb::Fault:
            return "fault";
        case ScenarioStep::Verb::Stuck:
            return "stuck";
    }
    return "?";
}

Picos parse_seconds(std::string_view text)
{
    // Parsed as decimal digits rather than through a double, so that 0.1 s is exactly 10^11 ps.
    const std::string bad = "a time must be seconds such as 12 or 0.125, not " + scenario_text::quoted(text);
    size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    if (whole.empty() && fraction.empty()) throw std::invalid_argument(bad);
    // 2^64 ps is 213 days: keep well inside it.
    if (whole.size() > 7)
        throw std::invalid_argument("a time must be under 10 000 000 s, not " + scenario_text::quoted(text));
    if (fraction.size() > 12) throw std::invalid_argument("a time has at most 12 digits after the point (1 ps)");
    Picos seconds_part = 0;
    for (char c : whole) {
        if (c < '0' || c > '9') throw std::invalid_argument(bad);
        seconds_part = seconds_part * 10 + static_cast<Picos>(c - '0');
    }
    Picos picos = 0;
    Picos scale = kPicosPerSecond;
    for (char c : fraction) {
        if (c < '0' || c > '9') throw std::invalid_argument(bad);
        scale /= 10;
        picos += static_cast<Picos>(c - '0') * scale;
    }
    return seconds_part * kPicosPerSecond + picos;
}

std::string unescape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == text.size())
            throw std::invalid_argument("a '\\' at the end of the text escapes nothing (write \\\\)");
        switch (text[i]) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                const int byte = common::hex_byte_at(text, i + 1);
                if (byte < 0) throw std::invalid_argument("\\x takes exactly two hex digits, as in \\x0D");
                out += static_cast<char>(byte);
                i += 2;
                break;
            }
            default:
                throw std::invalid_argument("unknown escape " + scenario_text::quoted(std::string("\\") + text[i]) +
                                            " (\\r \\n \\t \\0 \\\\ \\xNN)");
        }
    }
    return out;
}

namespace {

// A line's time: seconds since reset, or "+SECONDS" after the line before's.
Picos parse_time(std::string_view word, Picos previous)
{
    if (!word.empty() && word.front() == '+') return previous + parse_seconds(word.substr(1));
    Picos at = parse_seconds(word);
    if (at < previous)
        throw std::invalid_argument("time " + std::string(word) + " s is earlier than the line before's");
    return at;
}

// "crystal missing": the board is built without the 25 MHz crystal. A part of the board, not an event:
// only at time 0.
void parse_crystal(Scenario& scenario, Picos at, std::string_view rest, int line)
{
    if (before_comment(rest) != "missing") throw std::invalid_argument("crystal takes missing (the board without it)");
    if (at != 0) throw std::invalid_argument("the crystal is a part of the board: crystal missing only at time 0");
    scenario.crystal_missing_line = line;
}

}  // namespace

Picos Scenario::last_time() const
{
    Picos last = steps.empty() ? 0 : steps.back().at;
    for (const Expectation& e : expectations) last = std::max(last, e.until.value_or(e.at));
    return last;
}

Scenario parse_scenario(std::istream& in, const std::string& name)
{
    Scenario scenario{name, {}, {}, 0};
    std::string raw;
    int number = 0;
    Picos previous = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        try {
            std::string_view rest = line;
            std::string_view when = next_word(rest);
            std::string_view verb = next_word(rest);
            const Picos at = parse_time(when, previous);
            if (verb.empty()) throw std::invalid_argument("a verb must follow the time");
            previous = at;
            if (is_expectation_verb(verb)) {
                Expectation expectation;
                try {
                    expectation = parse_expectation(at, verb, rest);
                } catch (const std::invalid_argument& error) {
                    // The line as written, too: an expectation's arguments are easily put in the wrong order.
                    throw std::invalid_argument(std::string(error.what()) + " in " + scenario_text::quoted(line));
                }
                expectation.line = number;
                scenario.expectations.push_back(std::move(expectation));
            } else if (verb == "crystal") {
                parse_crystal(scenario, at, rest, number);
            } else {
                ScenarioStep step = parse_step(at, verb, rest);
                step.line = number;
                scenario.steps.push_back(std::move(step));
            }
        } catch (const std::invalid_argument& error) {
            throw ScenarioError(name + ":" + std::to_string(number) + ": " + error.what());
        }
    }
    return scenario;
}

Scenario load_scenario(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw ScenarioError(path + ": cannot open the scenario file");
    return parse_scenario(in, path);
}

std::vector<std::string> scenario_files(const std::vector<std::string>& paths)
{
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        if (!std::filesystem::is_directory(path)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> inside;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            if (entry.path().extension() == ".scenario" && !entry.is_directory())
                inside.push_back(entry.path().string());
        if (inside.empty()) throw ScenarioError(path + ": the folder holds no *.scenario file");
        std::sort(inside.begin(), inside.end());
        files.insert(files.end(), inside.begin(), inside.end());
    }
    return files;
}

void schedule_scenario(const Scenario& scenario, Scheduler& scheduler, std::function<void(const ScenarioStep&)> apply)
{
    // One step on the queue at a time, each scheduling the next: a week's tens of thousands of steps
    // need not sit in the queue that the thousand ticks a second go through.
    struct Runner {
        std::vector<ScenarioStep> steps;
        std::function<void(const ScenarioStep&)> apply;
        Scheduler* scheduler;
        size_t next = 0;
        void arm(const std::shared_ptr<Runner>& self)
        {
            if (next == steps.size()) return;
            scheduler->schedule(steps[next].at, [self](Picos) {
                // Steps due at the same time run in the file's order, in this one event.
                const Picos at = self->steps[self->next].at;
                while (self->next < self->steps.size() && self->steps[self->next].at == at)
                    self->apply(self->steps[self->next++]);
                self->arm(self);
            });
        }
    };
    auto runner = std::make_shared<Runner>(Runner{scenario.steps, std::move(apply), &scheduler});
    runner->arm(runner);
}

}  // namespace sim
