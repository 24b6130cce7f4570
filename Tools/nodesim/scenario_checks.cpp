#include "scenario_checks.h"

#include <cstdio>
#include <variant>

namespace nodesim {

namespace {

sim::ScenarioJudge::Probe board_probe(sim::Board& board)
{
    return {[&board](char port, int pin) {
                return sim::trace::PinLevel{sim::trace::pin_name(port, pin), board.level(port, pin),
                                            board.chip.gpio(port).driven(pin)};
            },
            [&board] { return board.pwm(); }};
}

}  // namespace

ScenarioChecks::ScenarioChecks(const sim::Scenario& scenario, sim::Board& board, bool quiet)
    : file_(scenario.name),
      quiet_(quiet),
      judge_(
          scenario, board_probe(board),
          [this](const sim::Expectation& e, const sim::Verdict& v) {
              const std::string line = "nodesim: " + sim::verdict_line(file_, e.line, v) + "\n";
              if (v.result == sim::Verdict::Result::Pass || v.result == sim::Verdict::Result::Skip) {
                  if (!quiet_) std::fputs(line.c_str(), stdout);
              } else {
                  std::fflush(stdout);
                  std::fputs(line.c_str(), stderr);
              }
          },
          [this] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }),
      waker_(board.chip.scheduler(), [this](sim::Picos now) { wake(now); })
{
    if (sim::Picos first = judge_.next_due(); first != sim::kNever) waker_.arm_at(first);
}

void ScenarioChecks::wake(sim::Picos now)
{
    judge_.advance(now);
    if (sim::Picos next = judge_.next_due(); next != sim::kNever) waker_.arm_at(std::max(next, now));
}

void ScenarioChecks::record(const sim::trace::Event& event)
{
    if (const auto* tx = std::get_if<sim::trace::Tx>(&event.what))
        judge_.serial(tx->port, tx->byte, event.t);
    else if (const auto* halt = std::get_if<sim::trace::Halt>(&event.what))
        judge_.halt(halt->reason, event.t);
    else if (const auto* reset = std::get_if<sim::trace::Reset>(&event.what))
        judge_.reset(reset->cause, event.t);
    else if (const auto* violation = std::get_if<sim::trace::Violation>(&event.what))
        judge_.violation(violation->what, event.t);
    else if (const auto* note = std::get_if<sim::trace::Note>(&event.what))
        judge_.log(note->text, event.t);
}

void ScenarioChecks::finish(const sim::RunEnd& end, sim::Picos now)
{
    waker_.cancel();
    judge_.finish(now, sim::to_string(end.kind), end.kind == sim::RunEnd::Kind::Halt);
}

bool ScenarioChecks::all_passed() const
{
    using Result = sim::Verdict::Result;
    return judge_.count(Result::Fail) == 0 && judge_.count(Result::Error) == 0 && judge_.count(Result::Pending) == 0;
}

sim::FileResult ScenarioChecks::result(sim::Picos reached, double wall_seconds) const
{
    return {file_, sim::to_seconds(reached), wall_seconds, sim::cases_of(judge_)};
}

}  // namespace nodesim
