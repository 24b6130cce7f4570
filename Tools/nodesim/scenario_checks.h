// A scenario's expectations judged during one nodesim run: the judge listens to the trace (bytes sent,
// halts, violations, log lines), looks at the board's pins and PWM at the instants asked for, and is woken
// by an event on the chip's queue at every instant and window end. Verdicts are printed as they come:
// failures always (standard error), passes unless quiet.
#pragma once

#include <chrono>
#include <string>

#include "board.h"
#include "run_end.h"
#include "scenario_judge.h"
#include "scenario_report.h"
#include "timer.h"
#include "trace.h"

namespace nodesim {

class ScenarioChecks final : public sim::trace::Sink {
public:
    ScenarioChecks(const sim::Scenario& scenario, sim::Board& board, bool quiet);
    ScenarioChecks(const ScenarioChecks&) = delete;
    ScenarioChecks& operator=(const ScenarioChecks&) = delete;

    void record(const sim::trace::Event& event) override;
    // The run is over (after the trace has its halt, if any).
    void finish(const sim::RunEnd& end, sim::Picos now);

    bool all_passed() const;
    sim::FileResult result(sim::Picos reached, double wall_seconds) const;

private:
    void wake(sim::Picos now);

    std::string file_;
    bool quiet_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    sim::ScenarioJudge judge_;
    sim::Timer waker_;
};

}  // namespace nodesim
