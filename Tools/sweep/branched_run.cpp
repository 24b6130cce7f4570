#include "branched_run.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "child_process.h"
#include "interrupt_landings.h"
#include "jsonl_reader.h"
#include "nodesim_stream.h"
#include "trace_checker.h"

namespace sweep {

namespace {

constexpr sim::Picos kGrid = sim::kPicosPerMilli;
constexpr sim::Picos kLead = 10 * sim::kPicosPerMicro;

// A folder of its own for one run's files, removed with them when the run is judged.
class RunFolder {
public:
    RunFolder()
    {
        static std::atomic<unsigned> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("sweep-branches-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::create_directories(path_);
    }
    ~RunFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// Runs `arguments` (the program first) with its output dropped; its exit status, -1 if it did not exit.
int run_quietly(std::vector<std::string> arguments)
{
    common::ChildProcess child(
        {.argv = std::move(arguments), .output = common::Redirect::null(), .errors = common::Redirect::null()});
    return child.started() ? common::exit_code(child.wait()) : -1;
}

Verdict judge_file(const std::string& path)
{
    Verdict verdict;
    soak::TraceChecker checker(1);
    sim::trace::JsonlReader reader;
    if (!soak::read_lines(path, [&checker, &reader](std::string_view line) {
            if (auto event = reader.read(line)) checker.feed(*event);
        })) {
        verdict.failure = "no trace from the branch (" + path + ")";
        return verdict;
    }
    checker.finish();
    return judge(checker.tally());
}

}  // namespace

sim::Picos branch_moment(const std::vector<ScenarioStep>& stimulus)
{
    sim::Picos first = stimulus.empty() ? 0 : stimulus.front().at;
    for (const auto& step : stimulus) first = std::min(first, step.at);
    return first < kLead + kGrid ? 0 : (first - kLead) / kGrid * kGrid;
}

std::vector<Verdict> run_branched(const NodeProgram& program, const Branched& runs, unsigned jobs)
{
    std::vector<Verdict> verdicts(runs.stimuli.size());
    try {
        RunFolder folder;
        write_file(folder.file("base.scn"), runs.base_scenario);
        std::string branches;
        for (size_t i = 0; i < runs.stimuli.size(); ++i)
            branches += "branch " + std::to_string(i) + "\n" + scenario_text(runs.stimuli[i]);
        write_file(folder.file("branches"), branches);
        std::vector<std::string> arguments{program.nodesim};
        for (const auto& a : nodesim_arguments(program, folder.file("base.scn"), runs.duration)) arguments.push_back(a);
        for (const std::string& a :
             {std::string("--branch-at"), seconds_text(runs.moment), std::string("--branches"), folder.file("branches"),
              std::string("--jobs"), std::to_string(jobs), std::string("--trace"), folder.file("t.jsonl")})
            arguments.push_back(a);
        for (const auto& a : interrupt_pcs_arguments(program, folder.file("pcs.txt"))) arguments.push_back(a);
        // A branch that failed is named by nodesim and judged by its trace like the rest.
        const int status = run_quietly(arguments);
        if (status != 0 && status != 1)
            throw std::runtime_error("nodesim exited with status " + std::to_string(status));
        for (size_t i = 0; i < runs.stimuli.size(); ++i) {
            verdicts[i] = judge_file(folder.file("t." + std::to_string(i) + ".jsonl"));
            if (!program.elf.empty())
                verdicts[i].interrupt_pcs =
                    sim::cpu::InterruptLandings::read(folder.file("pcs." + std::to_string(i) + ".txt"));
        }
    } catch (const std::exception& error) {
        for (Verdict& v : verdicts) v = Verdict{false, error.what()};
    }
    return verdicts;
}

}  // namespace sweep
