#include "placement_run.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "interrupt_landings.h"
#include "jsonl_reader.h"
#include "nodesim_stream.h"
#include "stimuli.h"
#include "trace_checker.h"

namespace sweep {

namespace {

// A scenario file of its own for each run (runs go side by side), removed when the run is over.
class ScenarioFile {
public:
    explicit ScenarioFile(const std::string& text)
    {
        static std::atomic<unsigned> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("sweep-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".scn");
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + path_.string());
    }
    ~ScenarioFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScenarioFile(const ScenarioFile&) = delete;
    ScenarioFile& operator=(const ScenarioFile&) = delete;
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

}  // namespace

std::vector<std::string> nodesim_arguments(const NodeProgram& program, const std::string& scenario_file,
                                           sim::Picos duration, std::optional<sim::Picos> branch_at)
{
    std::vector<std::string> arguments{"--fast",      "--quiet",    "--scenario",
                                       scenario_file, "--duration", seconds_text(duration)};
    if (branch_at) arguments.insert(arguments.end(), {"--branch-at", seconds_text(*branch_at)});
    if (!program.elf.empty()) arguments.insert(arguments.end(), {"--elf", program.elf});
    return arguments;
}

std::vector<std::string> interrupt_pcs_arguments(const NodeProgram& program, const std::string& file)
{
    if (program.elf.empty()) return {};
    return {"--interrupt-pcs", file};
}

Verdict judge(const soak::SoakTally& tally)
{
    Verdict verdict;
    verdict.passed = tally.violation_count == 0;
    if (!verdict.passed && !tally.first_violations.empty()) {
        const soak::Violation& v = tally.first_violations.front();
        char at[32];
        std::snprintf(at, sizeof at, "t=%.6f s: ", v.t);
        verdict.failure = at + v.what;
        if (!v.expected.empty() || !v.seen.empty())
            verdict.failure += " (expected " + v.expected + "; seen " + v.seen + ")";
    }
    return verdict;
}

Verdict run_placement(const NodeProgram& program, const Placement& placement)
{
    Verdict verdict;
    try {
        ScenarioFile file(placement.scenario);
        soak::TraceChecker checker(1);
        sim::trace::JsonlReader reader;
        auto feed = [&checker, &reader](std::string_view line) {
            if (auto event = reader.read(line)) checker.feed(*event);
        };
        const std::string pcs_file = file.path() + ".pcs";
        std::vector<std::string> arguments =
            nodesim_arguments(program, file.path(), placement.duration, placement.branch_at);
        for (const auto& a : interrupt_pcs_arguments(program, pcs_file)) arguments.push_back(a);
        const int status = soak::run_nodesim_streaming(program.nodesim, arguments, feed, false);
        if (!program.elf.empty()) {
            auto pcs = sim::cpu::InterruptLandings::read(pcs_file);
            std::error_code ignored;
            std::filesystem::remove(pcs_file, ignored);
            verdict.interrupt_pcs = std::move(pcs);
        }
        if (status != 0) {
            verdict.failure = "nodesim exited with status " + std::to_string(status);
            return verdict;
        }
        checker.finish();
        auto pcs = std::move(verdict.interrupt_pcs);
        verdict = judge(checker.tally());
        verdict.interrupt_pcs = std::move(pcs);
    } catch (const std::exception& error) {
        verdict.failure = error.what();
    }
    return verdict;
}

std::vector<sim::trace::Event> run_baseline(const NodeProgram& program, const Placement& baseline)
{
    ScenarioFile file(baseline.scenario);
    std::vector<sim::trace::Event> events;
    sim::trace::JsonlReader reader;
    const int status = soak::run_nodesim_streaming(
        program.nodesim, nodesim_arguments(program, file.path(), baseline.duration),
        [&events, &reader](std::string_view line) {
            if (auto event = reader.read(line)) events.push_back(std::move(*event));
        },
        false);
    if (status != 0)
        throw std::runtime_error("the baseline run failed: nodesim exited with status " + std::to_string(status));
    return events;
}

}  // namespace sweep
