// Judges a scenario's expectations while a run goes, from what the run shows it: the bytes the node
// sends, halts, 1-Wire timing violations, log lines, and (through a probe, when the runner can look) the
// pins and the PWM at an instant. The same judge serves the simulator, which sees everything, and a run
// against a board over its serial link, which sees only the link and skips the rest before it starts.
//
// Time is the run's virtual time. The runner calls advance() at next_due() (and may call it more often),
// hands over every observation in time order, and calls finish() once at the end. Each verdict is told to
// the listener as it is reached.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"
#include "trace.h"

namespace sim {

struct Verdict {
    enum class Result { Pending, Pass, Fail, Skip, Error };
    Result result = Result::Pending;
    Picos at = 0;             // when it was reached
    std::string expected;     // what the expectation asks for, in words
    std::string seen;         // Fail and Error: what was seen instead; Skip: why it was not judged
    double wall_seconds = 0;  // wall time from the window's opening to the verdict
};

const char* to_string(Verdict::Result result);

class ScenarioJudge {
public:
    // Looks at the node at the current instant; either may be left empty (a board's pins are out of
    // sight), which skips the expectations that need it.
    struct Probe {
        std::function<trace::PinLevel(char port, int pin)> pin;
        std::function<trace::Pwm()> pwm;
    };
    using Listener = std::function<void(const Expectation&, const Verdict&)>;
    using WallClock = std::function<double()>;  // seconds, from any origin

    ScenarioJudge(const Scenario& scenario, Probe probe, Listener listener, WallClock wall);

    const std::vector<Expectation>& expectations() const { return expectations_; }
    const std::vector<Verdict>& verdicts() const { return verdicts_; }
    size_t count(Verdict::Result result) const;

    // Before the run: the expectation at `index` will not be judged, and why.
    void skip(size_t index, const std::string& why);

    // What the run shows, in time order.
    void serial(const std::string& port, uint8_t byte, Picos at);
    void halt(const std::string& reason, Picos at);
    // The chip reset (`cause` as the trace names it).
    void reset(const std::string& cause, Picos at);
    void violation(const std::string& what, Picos at);
    void log(const std::string& text, Picos at);

    // Judges what is due by `now`: instants at or before it, windows ending at or before it.
    void advance(Picos now);
    // When advance() has something to do next; kNever when only the run's end is left.
    Picos next_due() const;
    // The run is over at `end`, for `reason` ("time limit", "halt", "interrupted"...). A halted node does
    // nothing more, so what it was not to do stays undone and its pins stay as they are; any other early
    // end leaves what was still open unjudged (Error).
    void finish(Picos end, const std::string& reason, bool halted);

private:
    struct Open {
        bool opened = false;
        double opened_wall = 0;
        std::string since;  // serial: the port's bytes from the window's opening (the tail of them)
    };

    void open(size_t i);
    void decide(size_t i, Verdict::Result result, Picos at, std::string seen = {});
    void judge_instant(size_t i, Picos at);
    void close_window(size_t i, Picos at);
    void take_byte(size_t i, uint8_t byte, Picos at);
    // Something happened at `at`: fails the expectations of its absence, passes those waiting for it
    // (a wait that names a kind, wait-reset's cause, passes only on that kind: `kind`; fails on another).
    void event(Expectation::Kind absence, std::optional<Expectation::Kind> wait, const std::string& seen, Picos at,
               const std::string& kind = {});
    bool pending(size_t i) const { return verdicts_[i].result == Verdict::Result::Pending; }
    bool in_window(const Expectation& e, Picos at) const { return at >= e.at && (!e.until || at <= *e.until); }
    std::string last_bytes(const std::string& port) const;

    std::vector<Expectation> expectations_;
    std::vector<Verdict> verdicts_;
    std::vector<Open> open_;
    Probe probe_;
    Listener listener_;
    WallClock wall_;
    std::string usart1_tail_;
    std::string usart2_tail_;
    std::optional<Picos> halted_at_;
};

}  // namespace sim
