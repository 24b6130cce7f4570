// sweep: looks for interrupt-timing races. It runs a baseline, finds the moments in its trace where an
// interrupt between two instructions can matter (each report character's start and end, every change of
// rx_armed, each cycle's start, the 1-Wire exchanges), then places a stimulus (noise, a break, a frame's
// first or last byte, a switch edge, a sensor fault) in steps of a few nanoseconds across a window
// around each, one run per placement (the branches of one run per window, or each from reset), judged
// by the soak's checker. It prints a table per window and stimulus with the first failing placement and
// the command that reproduces it. Exit status 0 when every placement passed, 1 when one failed, 2 when
// the sweep could not be made.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "branched_run.h"
#include "hex_text.h"
#include "instruction_windows.h"
#include "moments.h"
#include "placement_run.h"
#include "stimuli.h"

#ifndef SWEEP_NODESIM_PATH
#define SWEEP_NODESIM_PATH "nodesim"
#endif

namespace {

using sweep::Moment;
using sweep::MomentKind;
using sweep::StimulusKind;

// The baseline: a command in the first cycle, so that the second cycle's start takes it over and
// re-arms reception; the sweep's windows lie in those two cycles.
const std::vector<sweep::ScenarioStep> kBaseline{{2 * sim::kPicosPerSecond, "send V01=30$"}};
constexpr sim::Picos kBaselineDuration = 10 * sim::kPicosPerSecond;
// A placement runs until its effect has been judged: a frame is taken over at the next cycle's start
// (at most 4.83 s on) and its PWM shows a period later; a node that fell silent misses that cycle's
// reports.
constexpr sim::Picos kRunPast = 6500 * sim::kPicosPerMilli;
// Every placement that branches at one moment runs to the same end: past the last of them by kRunPast
// (a frame's last byte lies at most a grid step and a frame's 8.3 ms after the moment).
constexpr sim::Picos kRunSlack = 20 * sim::kPicosPerMilli;

struct MomentChoice {
    MomentKind kind;
    int first = 0;
    int last = 1 << 30;
};

// "report-start:0-3", "armed:1", "cycle".
std::optional<MomentChoice> parse_moment_choice(const std::string& text)
{
    const size_t colon = text.find(':');
    auto kind = sweep::kind_from_name(text.substr(0, colon));
    if (!kind) return std::nullopt;
    MomentChoice choice{*kind};
    if (colon == std::string::npos) return choice;
    const std::string range = text.substr(colon + 1);
    const size_t dash = range.find('-');
    try {
        size_t used = 0;
        choice.first = std::stoi(range.substr(0, dash), &used);
        if (used != (dash == std::string::npos ? range.size() : dash)) return std::nullopt;
        choice.last = dash == std::string::npos ? choice.first : std::stoi(range.substr(dash + 1), &used);
        if (dash != std::string::npos && used != range.size() - dash - 1) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (choice.first < 0 || choice.last < choice.first) return std::nullopt;
    return choice;
}

// A placement's lines, the moment its run branches from the baseline, and its end.
struct Plan {
    std::vector<sweep::ScenarioStep> stimulus;
    sim::Picos moment = 0;
    sim::Picos duration = 0;
};

Plan plan_at(StimulusKind stimulus, sim::Picos at)
{
    Plan plan{sweep::stimulus_steps(stimulus, at)};
    plan.moment = sweep::branch_moment(plan.stimulus);
    plan.duration = plan.moment + kRunPast + kRunSlack;
    return plan;
}

// The placement as a run of its own, from reset.
sweep::Placement placement_of(const Plan& plan)
{
    std::vector<sweep::ScenarioStep> steps = kBaseline;
    steps.insert(steps.end(), plan.stimulus.begin(), plan.stimulus.end());
    return {sweep::scenario_text(std::move(steps)), plan.duration, plan.moment};
}

// Placements that branch at the same moment, as the branches of one run.
sweep::Branched branched_of(const std::vector<Plan>& plans)
{
    sweep::Branched runs{sweep::scenario_text(kBaseline), plans.front().moment, plans.front().duration};
    for (const Plan& plan : plans) runs.stimuli.push_back(plan.stimulus);
    return runs;
}

std::string reproduce_command(const sweep::NodeProgram& program, StimulusKind stimulus, sim::Picos at)
{
    std::string command = "sweep";
    if (!program.elf.empty()) command += " --elf " + program.elf;
    return command + " --place " + sweep::stimulus_name(stimulus) + "@" + sweep::seconds_text(at);
}

struct Row {
    const Moment* moment = nullptr;
    StimulusKind stimulus = StimulusKind::Noise;
    size_t placements = 0;
    size_t failures = 0;
    std::optional<sim::Picos> first_failing;
    std::string first_failure;
};

// Runs the placements of one row: as the branches of one run for each moment they branch at, `jobs`
// at a time, or (`from_reset`) each from reset on `jobs` threads.
std::vector<sweep::Verdict> run_plans(const sweep::NodeProgram& program, const std::vector<Plan>& plans, unsigned jobs,
                                      bool from_reset)
{
    std::vector<sweep::Verdict> verdicts(plans.size());
    if (from_reset) {
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t i = next++; i < plans.size(); i = next++)
                verdicts[i] = sweep::run_placement(program, placement_of(plans[i]));
        };
        std::vector<std::thread> threads;
        for (unsigned j = 1; j < jobs; ++j) threads.emplace_back(work);
        work();
        for (auto& t : threads) t.join();
        return verdicts;
    }
    for (size_t first = 0; first < plans.size();) {
        size_t end = first + 1;
        while (end < plans.size() && plans[end].moment == plans[first].moment) ++end;
        const std::vector<Plan> group(plans.begin() + static_cast<std::ptrdiff_t>(first),
                                      plans.begin() + static_cast<std::ptrdiff_t>(end));
        const auto group_verdicts = sweep::run_branched(program, branched_of(group), jobs);
        std::copy(group_verdicts.begin(), group_verdicts.end(), verdicts.begin() + static_cast<std::ptrdiff_t>(first));
        first = end;
    }
    return verdicts;
}

// `reached` gathers the instruction boundaries at which the placements' interrupts were taken.
void sweep_row(const sweep::NodeProgram& program, Row& row, const std::vector<sim::Picos>& times, unsigned jobs,
               bool from_reset, std::set<uint32_t>& reached)
{
    std::vector<Plan> plans;
    for (sim::Picos at : times) plans.push_back(plan_at(row.stimulus, at));
    const std::vector<sweep::Verdict> verdicts = run_plans(program, plans, jobs, from_reset);
    row.placements = times.size();
    for (size_t i = 0; i < times.size(); ++i) {
        reached.insert(verdicts[i].interrupt_pcs.begin(), verdicts[i].interrupt_pcs.end());
        if (verdicts[i].passed) continue;
        if (row.failures++ == 0) {
            row.first_failing = times[i];
            row.first_failure = verdicts[i].failure;
        }
    }
}

// CPU seconds (user and system) so far of the sweep (which judges the traces) and of the nodesim
// processes it waited for (with the branches they waited for).
double cpu_seconds()
{
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        total += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return total;
}

// 1 000 noise placements 10 ns apart around 5 s into a run, each judged 1 s after that moment: as the
// branches of one run, then each from reset; prints both costs and whether the verdicts agree.
int benchmark(const sweep::NodeProgram& program, unsigned jobs)
{
    constexpr sim::Picos kCentre = 5 * sim::kPicosPerSecond;
    constexpr int kCount = 1000;
    constexpr sim::Picos kStep = 10 * sim::kPicosPerNano;
    std::vector<Plan> plans;
    for (int k = 0; k < kCount; ++k) {
        Plan plan = plan_at(StimulusKind::Noise, kCentre - kCount / 2 * kStep + k * kStep);
        plan.duration = kCentre + sim::kPicosPerSecond;
        plans.push_back(std::move(plan));
    }
    struct Cost {
        double cpu, wall;
        std::vector<sweep::Verdict> verdicts;
    };
    auto measure = [&](bool from_reset) {
        const double cpu = cpu_seconds();
        const auto wall = std::chrono::steady_clock::now();
        Cost cost{0, 0, run_plans(program, plans, jobs, from_reset)};
        cost.cpu = cpu_seconds() - cpu;
        cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
        return cost;
    };
    const Cost branched = measure(false);
    const Cost from_reset = measure(true);
    size_t disagree = 0, failed = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        disagree += branched.verdicts[i].passed != from_reset.verdicts[i].passed;
        failed += !branched.verdicts[i].passed;
    }
    std::printf("Benchmark of %s: %d noise placements %.0f ns apart around %.0f s, each run to %.0f s\n",
                program.elf.empty() ? "the host build" : program.elf.c_str(), kCount,
                static_cast<double>(kStep) / sim::kPicosPerNano, sim::to_seconds(kCentre),
                sim::to_seconds(kCentre + sim::kPicosPerSecond));
    std::printf("  branched from %.3f s: %8.2f s of CPU, %8.2f s of wall time\n", sim::to_seconds(plans.front().moment),
                branched.cpu, branched.wall);
    std::printf("  each from reset:      %8.2f s of CPU, %8.2f s of wall time\n", from_reset.cpu, from_reset.wall);
    std::printf("  branched / from reset: %.3f of the CPU time; %zu placements failed, %zu verdicts differ\n",
                from_reset.cpu > 0 ? branched.cpu / from_reset.cpu : 0.0, failed, disagree);
    return disagree == 0 ? 0 : 1;
}

std::string offset_text(sim::Picos at, sim::Picos centre)
{
    char text[32];
    const double ns = (static_cast<double>(at) - static_cast<double>(centre)) / 1e3;
    std::snprintf(text, sizeof text, "%+.0f ns", ns);
    return text;
}

// On the image: how many instruction boundaries of each window the placements' interrupts were taken at,
// and the ones none was (by address, for the disassembly).
void print_boundaries(const std::vector<sweep::InstructionWindow>& windows, const std::set<uint32_t>& reached)
{
    if (windows.empty()) return;
    std::printf("\nInstruction boundaries at which an interrupt was taken, of each window's:\n");
    std::printf("| window                                  | reached | of | never reached\n");
    std::printf("|-----------------------------------------|---------|----|--------------\n");
    for (const auto& window : windows) {
        std::string missing;
        for (uint32_t at : window.boundaries)
            if (reached.count(at) == 0) missing += (missing.empty() ? "" : " ") + sim::hex_text(at);
        std::printf("| %-39s | %7zu | %2zu | %s\n", window.name.c_str(), sweep::boundaries_reached(window, reached),
                    window.boundaries.size(), missing.c_str());
    }
}

int place_once(const sweep::NodeProgram& program, const std::string& what, const std::string& scenario_out)
{
    const size_t at_sign = what.find('@');
    auto stimulus = sweep::stimulus_from_name(what.substr(0, at_sign));
    double seconds = -1;
    try {
        if (at_sign != std::string::npos) seconds = std::stod(what.substr(at_sign + 1));
    } catch (const std::exception&) {}
    if (!stimulus || seconds <= 0 || seconds < sim::to_seconds(sweep::stimulus_lead(*stimulus))) {
        std::fprintf(stderr, "sweep: --place takes STIMULUS@SECONDS, such as noise@0.823456789, not %s\n",
                     what.c_str());
        return 2;
    }
    // To the picosecond as written: the decimal text, not the double.
    const std::string text = what.substr(at_sign + 1);
    const size_t dot = text.find('.');
    std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    fraction.resize(12, '0');
    const sim::Picos at = static_cast<sim::Picos>(std::stoull(text.substr(0, dot))) * sim::kPicosPerSecond +
                          static_cast<sim::Picos>(std::stoull(fraction));
    const Plan plan = plan_at(*stimulus, at);
    const sweep::Placement placement = placement_of(plan);
    std::printf("scenario:\n%s", placement.scenario.c_str());
    if (!scenario_out.empty()) {
        std::ofstream out(scenario_out, std::ios::binary | std::ios::trunc);
        out << placement.scenario;
        if (!out) {
            std::fprintf(stderr, "sweep: cannot write %s\n", scenario_out.c_str());
            return 2;
        }
        std::printf("its trace: %s", program.nodesim.c_str());
        for (const auto& a : sweep::nodesim_arguments(program, scenario_out, placement.duration, placement.branch_at))
            std::printf(" %s", a.c_str());
        std::printf(" --trace trace.jsonl\n");
    }
    // As the sweep ran it: the one branch of a run that branches at its moment.
    const sweep::Verdict verdict = sweep::run_branched(program, branched_of({plan}), 1).front();
    std::printf("%s\n", verdict.passed ? "passed" : ("FAILED: " + verdict.failure).c_str());
    return verdict.passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "sweep: stimuli placed in nanosecond steps across the critical moments of a run, judged by the "
        "soak's checker"};
    sweep::NodeProgram program{SWEEP_NODESIM_PATH, ""};
    std::vector<std::string> moment_texts;
    std::vector<std::string> stimulus_texts;
    double before_ns = 2000, after_ns = 2000, step_ns = 5;
    unsigned jobs = std::max(1U, std::thread::hardware_concurrency());
    std::string place, scenario_out;
    app.add_option("--nodesim", program.nodesim, "The nodesim program to run");
    app.add_option("--elf", program.elf, "Run this flashable image (node.elf) on nodesim's emulated core")
        ->check(CLI::ExistingFile);
    app.add_option("--moments", moment_texts,
                   "Windows: KIND or KIND:N or KIND:FIRST-LAST, KIND one of report-start, report-end, armed, "
                   "cycle, onewire (default: all)")
        ->delimiter(',');
    app.add_option("--stimuli", stimulus_texts,
                   "Stimuli: noise, break, frame-first, frame-last, switch, sensor (default: all)")
        ->delimiter(',');
    app.add_option("--before", before_ns, "Window start, ns before the moment (default 2000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--after", after_ns, "Window end, ns after the moment (default 2000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--step", step_ns, "Step between placements, ns (default 5)")->check(CLI::PositiveNumber);
    app.add_option("--jobs", jobs, "Runs side by side (default: the number of cores)")->check(CLI::PositiveNumber);
    app.add_option("--place", place, "Run one placement, STIMULUS@SECONDS, as the table's reproduce command does");
    app.add_option("--scenario-out", scenario_out, "With --place: keep its scenario in this file");
    bool from_reset = false;
    app.add_flag("--from-reset", from_reset,
                 "Run each placement from reset rather than as a branch of one run per window (slower; the same "
                 "verdicts)");
    bool benchmark_only = false;
    app.add_flag("--benchmark", benchmark_only,
                 "Time 1000 placements around 5 s, judged at 6 s, as branches and from reset, and print both");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (!place.empty()) return place_once(program, place, scenario_out);
    if (benchmark_only) return benchmark(program, jobs);

    std::vector<MomentChoice> choices;
    for (const auto& text : moment_texts) {
        auto choice = parse_moment_choice(text);
        if (!choice) {
            std::fprintf(stderr, "sweep: --moments: %s is no window (report-start:0-3, armed, cycle:1...)\n",
                         text.c_str());
            return 2;
        }
        choices.push_back(*choice);
    }
    if (choices.empty())
        for (MomentKind kind : sweep::kMomentKinds) choices.push_back({kind});
    std::vector<StimulusKind> stimuli;
    for (const auto& text : stimulus_texts) {
        auto kind = sweep::stimulus_from_name(text);
        if (!kind) {
            std::fprintf(stderr, "sweep: --stimuli: %s is no stimulus\n", text.c_str());
            return 2;
        }
        stimuli.push_back(*kind);
    }
    if (stimuli.empty()) stimuli.assign(std::begin(sweep::kStimulusKinds), std::end(sweep::kStimulusKinds));

    std::vector<sweep::InstructionWindow> windows;
    if (!program.elf.empty()) {
        try {
            windows = sweep::find_instruction_windows(program.elf);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "sweep: %s\n", error.what());
            return 2;
        }
    }
    std::set<uint32_t> reached;
    const auto wall_start = std::chrono::steady_clock::now();
    std::vector<Moment> moments;
    try {
        moments =
            sweep::find_moments(sweep::run_baseline(program, {sweep::scenario_text(kBaseline), kBaselineDuration}));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sweep: %s\n", error.what());
        return 2;
    }
    const auto step = static_cast<sim::Picos>(step_ns * 1e3);
    const auto before = static_cast<sim::Picos>(before_ns * 1e3), after = static_cast<sim::Picos>(after_ns * 1e3);

    std::printf("Sweep of %s: windows %.0f ns before to %.0f ns after each moment, a placement every %.0f ns\n",
                program.elf.empty() ? "the host build" : program.elf.c_str(), before_ns, after_ns, step_ns);
    std::printf(
        "| window          | moment (s)     | what             | stimulus    | placements | failures | first failing "
        "placement\n");
    std::printf(
        "|-----------------|----------------|------------------|-------------|------------|----------|-----------------"
        "-------\n");
    std::vector<Row> failing;
    size_t total = 0, total_failures = 0;
    for (const Moment& m : moments) {
        const bool chosen = std::any_of(choices.begin(), choices.end(), [&m](const MomentChoice& c) {
            return c.kind == m.kind && m.index >= c.first && m.index <= c.last;
        });
        if (!chosen) continue;
        for (StimulusKind stimulus : stimuli) {
            // No placement whose first step would come before the run starts.
            const sim::Picos earliest = sweep::stimulus_lead(stimulus);
            std::vector<sim::Picos> times;
            for (sim::Picos at = m.t - std::min(before, m.t); at <= m.t + after; at += step)
                if (at >= earliest) times.push_back(at);
            Row row{&m, stimulus};
            sweep_row(program, row, times, jobs, from_reset, reached);
            total += row.placements;
            total_failures += row.failures;
            char window[32];
            std::snprintf(window, sizeof window, "%s:%d", sweep::kind_name(m.kind), m.index);
            std::printf("| %-15s | %14.9f | %-16s | %-11s | %10zu | %8zu | %s\n", window, sim::to_seconds(m.t),
                        m.what.c_str(), sweep::stimulus_name(stimulus), row.placements, row.failures,
                        row.first_failing ? offset_text(*row.first_failing, m.t).c_str() : "");
            std::fflush(stdout);
            if (row.failures > 0) failing.push_back(row);
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    std::printf("%zu placements, %zu failed, in %.0f s\n", total, total_failures, wall);
    print_boundaries(windows, reached);
    if (!failing.empty()) {
        std::printf("\nFirst failing placement of each failing window:\n");
        for (const Row& row : failing) {
            std::printf("  %s:%d %s: %s\n    %s\n", sweep::kind_name(row.moment->kind), row.moment->index,
                        sweep::stimulus_name(row.stimulus), row.first_failure.c_str(),
                        reproduce_command(program, row.stimulus, *row.first_failing).c_str());
        }
    }
    return total_failures == 0 ? 0 : 1;
}
