#include "scenario_judge.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "node_facts.h"

namespace sim {

namespace {

using Kind = Expectation::Kind;
using Result = Verdict::Result;

// What a failure shows of a port: its last bytes, enough for two reports.
constexpr size_t kTailBytes = 48;
// What an open window keeps of its port's bytes: a report or a text to find is far shorter.
constexpr size_t kWindowBytes = 256;

void keep_tail(std::string& text, uint8_t byte, size_t limit)
{
    text += static_cast<char>(byte);
    if (text.size() > limit) text.erase(0, text.size() - limit);
}

std::string quoted_bytes(const std::string& bytes)
{
    return "'" + trace::printable(bytes) + "'";
}

std::string at_time(Picos at)
{
    return " at " + seconds_text(at);
}

std::string pin_state(const trace::PinLevel& p)
{
    const bool driven = p.driven.value_or(true);
    return "level " + std::to_string(p.level) + (driven ? ", driven" : ", not driven");
}

std::string led_state(const trace::PinLevel& p)
{
    const bool lit = p.driven.value_or(true) && p.level == 0;
    return std::string(lit ? "lit" : "dark") + " (" + pin_state(p) + ")";
}

std::string pwm_state(const trace::Pwm& pwm)
{
    if (pwm.period == 0) return "no PWM on A0 (not running)";
    char text[120];
    std::snprintf(text, sizeof text, "a duty of %.3g %% (%.1f us high of a %.1f us period)",
                  100.0 * static_cast<double>(pwm.high) / static_cast<double>(pwm.period), to_micros(pwm.high),
                  to_micros(pwm.period));
    return text;
}

std::optional<double> measure(const Expectation& e, const trace::Pwm& pwm)
{
    switch (e.measure) {
        case Expectation::Measure::Duty:
            if (pwm.period == 0) return std::nullopt;
            return 100.0 * static_cast<double>(pwm.high) / static_cast<double>(pwm.period);
        case Expectation::Measure::High:
            return to_micros(pwm.high);
        case Expectation::Measure::Period:
            return to_micros(pwm.period);
    }
    return std::nullopt;
}

// The value of the temperature report that `since` ends with ("...!A00=23.5$"), if it ends with one.
std::optional<std::string> completed_report(const std::string& since)
{
    using node_facts::kReportEnd, node_facts::kTemperatureTag;
    if (since.empty() || since.back() != kReportEnd) return std::nullopt;
    size_t start = since.rfind(kTemperatureTag);
    if (start == std::string::npos) return std::nullopt;
    const size_t value_start = start + kTemperatureTag.size();
    std::string value = since.substr(value_start, since.size() - 1 - value_start);
    if (value.find(kReportEnd) != std::string::npos) return std::nullopt;  // that report ended earlier
    return value;
}

// A halt is known only once the run has ended on it (the core spun long enough to be judged stopped),
// with its true time: whether one fell in a window is decided then.
bool about_halts(const Expectation& e)
{
    return e.kind == Kind::NoHalt || e.kind == Kind::WaitHalt;
}

}  // namespace

const char* to_string(Verdict::Result result)
{
    switch (result) {
        case Result::Pending:
            return "pending";
        case Result::Pass:
            return "passed";
        case Result::Fail:
            return "failed";
        case Result::Skip:
            return "skipped";
        case Result::Error:
            return "not judged";
    }
    return "?";
}

ScenarioJudge::ScenarioJudge(const Scenario& scenario, Probe probe, Listener listener, WallClock wall)
    : expectations_(scenario.expectations),
      verdicts_(expectations_.size()),
      open_(expectations_.size()),
      probe_(std::move(probe)),
      listener_(std::move(listener)),
      wall_(std::move(wall))
{
    for (size_t i = 0; i < expectations_.size(); ++i) {
        verdicts_[i].expected = describe(expectations_[i]);
        const Kind kind = expectations_[i].kind;
        if ((kind == Kind::Led || kind == Kind::Pin) && !probe_.pin) skip(i, "the pins are out of this run's sight");
        if (kind == Kind::Pwm && !probe_.pwm) skip(i, "the PWM output is out of this run's sight");
    }
}

size_t ScenarioJudge::count(Verdict::Result result) const
{
    size_t n = 0;
    for (const Verdict& v : verdicts_) n += v.result == result ? 1 : 0;
    return n;
}

void ScenarioJudge::skip(size_t index, const std::string& why)
{
    if (!pending(index)) return;
    verdicts_[index].result = Result::Skip;
    verdicts_[index].seen = why;
    if (listener_) listener_(expectations_[index], verdicts_[index]);
}

void ScenarioJudge::decide(size_t i, Verdict::Result result, Picos at, std::string seen)
{
    Verdict& v = verdicts_[i];
    v.result = result;
    v.at = at;
    v.seen = std::move(seen);
    v.wall_seconds = open_[i].opened ? std::max(0.0, wall_() - open_[i].opened_wall) : 0.0;
    if (listener_) listener_(expectations_[i], v);
}

void ScenarioJudge::open(size_t i)
{
    if (open_[i].opened) return;
    open_[i].opened = true;
    open_[i].opened_wall = wall_();
}

std::string ScenarioJudge::last_bytes(const std::string& port) const
{
    const std::string& tail = port == "USART1" ? usart1_tail_ : usart2_tail_;
    if (tail.empty()) return "nothing yet on " + port;
    return "the last bytes on " + port + " " + quoted_bytes(tail);
}

void ScenarioJudge::judge_instant(size_t i, Picos at)
{
    const Expectation& e = expectations_[i];
    open(i);
    if (e.kind == Kind::Pwm) {
        const trace::Pwm pwm = probe_.pwm();
        std::optional<double> value = measure(e, pwm);
        bool within = value && std::fabs(*value - e.value) <= e.tolerance + 1e-9;
        decide(i, within ? Result::Pass : Result::Fail, at, pwm_state(pwm));
        return;
    }
    const trace::PinLevel p = probe_.pin(e.pin_port, e.pin);
    if (e.kind == Kind::Led) {
        const bool lit = p.driven.value_or(true) && p.level == 0;
        decide(i, lit == (e.level == 1) ? Result::Pass : Result::Fail, at, led_state(p));
    } else {
        decide(i, p.level == e.level ? Result::Pass : Result::Fail, at, pin_state(p));
    }
}

void ScenarioJudge::close_window(size_t i, Picos at)
{
    const Expectation& e = expectations_[i];
    open(i);
    switch (e.kind) {
        case Kind::WaitSerial:
            decide(i, Result::Fail, at, last_bytes(e.port));
            break;
        case Kind::WaitTemp:
            decide(i, Result::Fail, at, "no temperature report; " + last_bytes("USART1"));
            break;
        case Kind::WaitReset:
            decide(i, Result::Fail, at, "no reset");
            break;
        default:
            decide(i, Result::Pass, at);  // nothing it was not to do happened
            break;
    }
}

void ScenarioJudge::advance(Picos now)
{
    for (size_t i = 0; i < expectations_.size(); ++i) {
        const Expectation& e = expectations_[i];
        if (!pending(i) || e.at > now) continue;
        if (e.instant()) {
            judge_instant(i, now);
        } else {
            open(i);
            if (e.until && *e.until <= now && !about_halts(e)) close_window(i, *e.until);
        }
    }
}

Picos ScenarioJudge::next_due() const
{
    Picos next = kNever;
    for (size_t i = 0; i < expectations_.size(); ++i) {
        if (!pending(i)) continue;
        const Expectation& e = expectations_[i];
        if (!open_[i].opened || e.instant())
            next = std::min(next, e.at);
        else if (e.until && !about_halts(e))
            next = std::min(next, *e.until);
    }
    return next;
}

void ScenarioJudge::take_byte(size_t i, uint8_t byte, Picos at)
{
    const Expectation& e = expectations_[i];
    std::string& since = open_[i].since;
    keep_tail(since, byte, kWindowBytes);
    if (e.kind == Kind::WaitTemp) {
        std::optional<std::string> value = completed_report(since);
        if (!value) return;
        char* end = nullptr;
        double celsius = std::strtod(value->c_str(), &end);
        bool number = !value->empty() && end == value->c_str() + value->size() && std::isfinite(celsius);
        bool within = number && std::fabs(celsius - e.value) <= e.tolerance + 1e-9;
        decide(i, within ? Result::Pass : Result::Fail, at,
               quoted_bytes(std::string(node_facts::kTemperatureTag) + *value + node_facts::kReportEnd) + at_time(at));
        return;
    }
    const bool found = e.text.empty() || (since.size() >= e.text.size() &&
                                          since.compare(since.size() - e.text.size(), e.text.size(), e.text) == 0);
    if (!found) return;
    if (e.kind == Kind::WaitSerial)
        decide(i, Result::Pass, at);
    else
        decide(i, Result::Fail, at,
               quoted_bytes(e.text.empty() ? std::string(1, static_cast<char>(byte)) : e.text) + at_time(at));
}

void ScenarioJudge::serial(const std::string& port, uint8_t byte, Picos at)
{
    // Windows that closed before this byte are judged without it.
    for (size_t i = 0; i < expectations_.size(); ++i) {
        const Expectation& e = expectations_[i];
        if (pending(i) && !e.instant() && e.until && *e.until < at && e.at <= *e.until) close_window(i, *e.until);
    }
    keep_tail(port == "USART1" ? usart1_tail_ : usart2_tail_, byte, kTailBytes);
    for (size_t i = 0; i < expectations_.size(); ++i) {
        const Expectation& e = expectations_[i];
        if (!pending(i) || !in_window(e, at)) continue;
        const bool wants = ((e.kind == Kind::WaitSerial || e.kind == Kind::NoSerial) && e.port == port) ||
                           (e.kind == Kind::WaitTemp && port == "USART1");
        if (!wants) continue;
        open(i);
        take_byte(i, byte, at);
    }
}

void ScenarioJudge::event(Expectation::Kind absence, std::optional<Expectation::Kind> wait, const std::string& seen,
                          Picos at, const std::string& kind)
{
    for (size_t i = 0; i < expectations_.size(); ++i) {
        const Expectation& e = expectations_[i];
        if (!pending(i) || !in_window(e, at)) continue;
        if (e.kind == absence) {
            open(i);
            decide(i, Result::Fail, at, seen + at_time(at));
        } else if (e.kind == wait) {
            open(i);
            if (e.text.empty() || e.text == kind)
                decide(i, Result::Pass, at);
            else
                decide(i, Result::Fail, at, seen + at_time(at));
        }
    }
}

void ScenarioJudge::halt(const std::string& reason, Picos at)
{
    halted_at_ = at;
    event(Kind::NoHalt, Kind::WaitHalt, "a halt (" + reason + ")", at);
}

void ScenarioJudge::reset(const std::string& cause, Picos at)
{
    event(Kind::NoReset, Kind::WaitReset, "a reset (" + cause + ")", at, cause);
}

void ScenarioJudge::violation(const std::string& what, Picos at)
{
    event(Kind::NoViolation, std::nullopt, "a 1-Wire timing violation (" + what + ")", at);
}

void ScenarioJudge::log(const std::string& text, Picos at)
{
    event(Kind::NoLog, std::nullopt, "the log line '" + text + "'", at);
}

void ScenarioJudge::finish(Picos end, const std::string& reason, bool halted)
{
    advance(end);
    for (size_t i = 0; i < expectations_.size(); ++i) {
        if (!pending(i)) continue;
        const Expectation& e = expectations_[i];
        const std::string ended = "the run ended (" + reason + ") at " + seconds_text(end);
        if (about_halts(e) && (halted || !e.until || *e.until <= end)) {
            // Not halted in its window: for no-halt a pass, for wait-halt a failure.
            std::string seen = halted_at_ ? "a halt at " + seconds_text(*halted_at_) + ", outside the window"
                                          : "no halt: the node ran on";
            decide(i, e.kind == Kind::NoHalt ? Result::Pass : Result::Fail, e.until ? std::min(*e.until, end) : end,
                   e.kind == Kind::NoHalt ? "" : seen);
        } else if (halted && e.instant() && (probe_.pin || probe_.pwm)) {
            judge_instant(i, end);  // the halted node's pins stay as they are
        } else if (halted && !e.waits()) {
            close_window(i, end);
        } else if (halted) {
            decide(i, Result::Fail, end, "the node halted at " + seconds_text(end));
        } else if (!e.instant() && !e.until && !e.waits()) {
            decide(i, Result::Pass, end);  // an absence to the end of the run
        } else {
            decide(i, Result::Error, end, ended + " before this was judged");
        }
    }
}

}  // namespace sim
