#include "board_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "board_reach.h"
#include "node_facts.h"
#include "scenario_judge.h"

namespace nodecheck {

namespace {

using Clock = std::chrono::steady_clock;
using sim::Picos;
using Kind = sim::Expectation::Kind;

Picos picos(double seconds)
{
    return static_cast<Picos>(std::llround(std::max(seconds, 0.0) * static_cast<double>(sim::kPicosPerSecond)));
}

void say(const std::string& line, bool failure, bool quiet)
{
    if (failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "nodecheck: %s\n", line.c_str());
    } else if (!quiet) {
        std::printf("nodecheck: %s\n", line.c_str());
        std::fflush(stdout);
    }
}

// The windows given the link's slack: a wait opens earlier and closes later, an absence the reverse; an
// absence whose window the slack swallows cannot be judged.
sim::Scenario with_slack(sim::Scenario scenario, Picos slack, std::vector<size_t>& swallowed)
{
    for (size_t i = 0; i < scenario.expectations.size(); ++i) {
        sim::Expectation& e = scenario.expectations[i];
        if (!e.until) continue;
        if (e.waits()) {
            e.at = e.at > slack ? e.at - slack : 0;
            *e.until += slack;
        } else if (*e.until - e.at > 2 * slack) {
            e.at += slack;
            *e.until -= slack;
        } else {
            swallowed.push_back(i);
        }
    }
    return scenario;
}

// Waits for the greeting; returns the wall time its last byte arrived, or nothing on a time-out.
std::optional<Clock::time_point> wait_for_greeting(SerialDevice& device, const BoardSetup& setup)
{
    const auto deadline = Clock::now() + setup.greeting_timeout;
    std::string seen;
    while (Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        seen += device.read(std::max(left, std::chrono::milliseconds(1)));
        if (seen.find(node_facts::kGreeting) != std::string::npos) return Clock::now();
        if (seen.size() > 64) seen.erase(0, seen.size() - 64);
    }
    return std::nullopt;
}

}  // namespace

BoardOutcome run_on_board(const sim::Scenario& scenario, SerialDevice& device, const BoardSetup& setup)
{
    BoardOutcome outcome;
    const BoardReach reach(scenario, setup.port, !setup.reset_command.empty());
    std::vector<size_t> swallowed;
    const Picos slack = picos(setup.slack);
    const sim::Scenario judged = with_slack(scenario, slack, swallowed);
    const auto wall_start = Clock::now();
    auto wall = [&wall_start] { return std::chrono::duration<double>(Clock::now() - wall_start).count(); };
    sim::ScenarioJudge judge(
        judged, {},
        [&](const sim::Expectation& e, const sim::Verdict& v) {
            bool bad = v.result == sim::Verdict::Result::Fail || v.result == sim::Verdict::Result::Error;
            say(sim::verdict_line(scenario.name, e.line, v), bad, setup.quiet);
        },
        wall);

    // Stimuli the board cannot be given are reported first, as skipped cases of their own.
    std::vector<sim::CaseResult> skipped_steps;
    auto skip_step = [&](int line, const std::string& name, const std::string& why) {
        sim::Verdict v{sim::Verdict::Result::Skip, 0, "the stimulus " + name, why, 0};
        say(sim::verdict_line(scenario.name, line, v), false, setup.quiet);
        skipped_steps.push_back({line, name, v});
    };
    if (scenario.crystal_missing_line != 0)
        skip_step(scenario.crystal_missing_line, "crystal missing", "a board's crystal is not taken off over its link");
    for (const sim::ScenarioStep& step : scenario.steps)
        if (auto why = reach.unplayable(step))
            skip_step(step.line, std::string(sim::to_string(step.verb)) + (step.args.empty() ? "" : " " + step.args),
                      *why);
    for (size_t i = 0; i < scenario.expectations.size(); ++i)
        if (auto why = reach.unjudgeable(scenario.expectations[i])) judge.skip(i, *why);
    for (size_t i : swallowed) judge.skip(i, "its window is shorter than twice the link's timing slack");

    auto finish = [&](Picos end, const std::string& reason) {
        judge.finish(end, reason, false);
        outcome.result = {scenario.name, sim::to_seconds(end), wall(), skipped_steps};
        for (sim::CaseResult& c : sim::cases_of(judge)) outcome.result.cases.push_back(std::move(c));
        std::stable_sort(outcome.result.cases.begin(), outcome.result.cases.end(),
                         [](const sim::CaseResult& a, const sim::CaseResult& b) { return a.line < b.line; });
        return outcome;
    };

    // Whatever arrived before (the last file's reports) holds no greeting, and is passed over while waiting
    // for one; it is not flushed, since a simulator that starts its node when the device is opened may
    // already have greeted.
    if (!setup.reset_command.empty() && std::system(setup.reset_command.c_str()) != 0)
        say("the reset command '" + setup.reset_command + "' failed", true, false);
    say(scenario.name + ": waiting for the node's greeting on " + device.path() + " (reset the board now)", false,
        setup.quiet);
    std::optional<Clock::time_point> greeted;
    try {
        greeted = wait_for_greeting(device, setup);
    } catch (const std::runtime_error& error) {
        outcome.ending = BoardOutcome::Ending::DeviceLost;
        outcome.problem = error.what();
        return finish(0, "the device went away");
    }
    if (!greeted) {
        outcome.ending = BoardOutcome::Ending::NoGreeting;
        char timeout[32];
        std::snprintf(timeout, sizeof timeout, "%g", static_cast<double>(setup.greeting_timeout.count()) / 1000.0);
        outcome.problem = device.path() + " sent no greeting within " + timeout +
                          " s: the node does not answer (is it powered and reset, its USART1 on the adapter at "
                          "9600 baud?)";
        return finish(0, "no greeting");
    }
    // Virtual time from the greeting on: its end is where the simulated node's greeting ends.
    const auto origin = *greeted - std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(kGreetingEnd / setup.speed));
    auto now = [&] { return picos(std::chrono::duration<double>(Clock::now() - origin).count() * setup.speed); };
    const Picos greeting_at = picos(kGreetingEnd);
    for (char c : node_facts::kGreeting) judge.serial(setup.port, static_cast<uint8_t>(c), greeting_at);

    const Picos end = scenario.last_time() + slack;
    size_t next_step = 0;
    for (;;) {
        Picos t = now();
        while (next_step < scenario.steps.size() && scenario.steps[next_step].at <= t) {
            const sim::ScenarioStep& step = scenario.steps[next_step++];
            if (reach.unplayable(step)) continue;
            if (step.verb == sim::ScenarioStep::Verb::Send)
                device.write(step.bytes);
            else if (step.verb == sim::ScenarioStep::Verb::Reset) {
                if (std::system(setup.reset_command.c_str()) != 0)
                    say("the reset command '" + setup.reset_command + "' failed", true, false);
            } else
                device.send_break(static_cast<int>(std::ceil(static_cast<double>(step.length) / sim::kPicosPerMilli)));
        }
        judge.advance(t);
        if (t >= end) break;
        Picos next = std::min(end, judge.next_due());
        if (next_step < scenario.steps.size()) next = std::min(next, scenario.steps[next_step].at);
        const double wait_seconds = sim::to_seconds(next > t ? next - t : 0) / setup.speed;
        std::string bytes;
        try {
            bytes = device.read(std::chrono::milliseconds(static_cast<long long>(std::ceil(wait_seconds * 1000))));
        } catch (const std::runtime_error& error) {
            outcome.ending = BoardOutcome::Ending::DeviceLost;
            outcome.problem = error.what();
            return finish(now(), "the device went away");
        }
        const Picos arrived = now();
        for (char c : bytes) judge.serial(setup.port, static_cast<uint8_t>(c), arrived);
    }
    return finish(end, "the scenario's end");
}

}  // namespace nodecheck
