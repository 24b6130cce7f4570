// soak: runs the node for simulated days under a generated mix of commands, garbage, line errors,
// temperatures, sensor faults and switch changes, judges the trace as it streams out of nodesim, and
// prints a table of what happened. Exit status 0 when every check held, 1 when one failed, 2 when the
// run could not be made.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>
#include <unistd.h>

#include "jsonl_reader.h"
#include "nodesim_stream.h"
#include "scenario_generator.h"
#include "soak_tally.h"
#include "trace_checker.h"

#ifndef SOAK_NODESIM_PATH
#define SOAK_NODESIM_PATH "nodesim"
#endif

namespace {

void print_violations(const soak::SoakTally& tally)
{
    if (tally.violation_count == 0) return;
    std::printf("\nFirst %zu of %llu check failures:\n", tally.first_violations.size(),
                static_cast<unsigned long long>(tally.violation_count));
    for (const auto& v : tally.first_violations) {
        std::printf("  t=%.6f s  %s", v.t, v.what.c_str());
        if (!v.expected.empty() || !v.seen.empty())
            std::printf("  (expected %s; seen %s)", v.expected.c_str(), v.seen.c_str());
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"soak: days of the simulated node under a random mix of stimuli, judged from its trace"};
    double days = 1;
    uint64_t seed = 1;
    std::string nodesim = SOAK_NODESIM_PATH;
    std::string elf;
    std::string scenario_out;
    std::string check_trace;
    bool generate_only = false;
    app.add_option("--days", days, "Simulated days to run (default 1)")->check(CLI::PositiveNumber);
    app.add_option("--seed", seed, "Seed of the scenario (default 1); the same seed gives the same run");
    app.add_option("--nodesim", nodesim, "The nodesim program to run");
    app.add_option("--elf", elf, "Run this flashable image (node.elf) on nodesim's emulated core")
        ->check(CLI::ExistingFile);
    app.add_option("--scenario-out", scenario_out, "Keep the generated scenario in this file");
    app.add_flag("--generate-only", generate_only, "Write the scenario (to --scenario-out) and stop");
    app.add_option("--check-trace", check_trace, "Judge this JSON-lines trace instead of running nodesim")
        ->check(CLI::ExistingFile);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help arrives here too, with status 0; any mistake on the command line is a run that could
        // not be made, not the library's own code for each kind of mistake.
        return app.exit(error) == 0 ? 0 : 2;
    }

    soak::TraceChecker checker;
    sim::trace::JsonlReader reader;
    auto feed = [&checker, &reader](std::string_view line) {
        if (auto event = reader.read(line)) checker.feed(*event);
    };
    const auto wall_start = std::chrono::steady_clock::now();
    try {
        if (!check_trace.empty()) {
            soak::read_lines(check_trace, feed);
        } else {
            const std::string scenario = soak::generate_scenario({seed, days});
            std::filesystem::path path = scenario_out;
            bool temporary = path.empty();
            if (temporary)
                path = std::filesystem::temp_directory_path() /
                       ("soak-" + std::to_string(::getpid()) + "-" + std::to_string(seed) + ".scn");
            {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                out << scenario;
                if (!out) {
                    std::fprintf(stderr, "soak: cannot write %s\n", path.c_str());
                    return 2;
                }
            }
            if (generate_only) return 0;
            char duration[32];
            std::snprintf(duration, sizeof duration, "%.0f", days * 86400.0);
            std::vector<std::string> arguments{"--fast",      "--quiet",    "--scenario",
                                               path.string(), "--duration", duration};
            if (!elf.empty()) arguments.insert(arguments.end(), {"--elf", elf});
            const int status = soak::run_nodesim_streaming(nodesim, arguments, feed);
            if (temporary) std::filesystem::remove(path);
            if (status != 0) {
                std::fprintf(stderr, "soak: %s exited with status %d\n", nodesim.c_str(), status);
                return 2;
            }
        }
        checker.finish();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
        return 2;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    const soak::SoakTally& tally = checker.tally();
    std::fputs(
        soak::format_table(tally, check_trace.empty() ? days : tally.simulated_seconds / 86400.0, seed, wall).c_str(),
        stdout);
    print_violations(tally);
    return tally.violation_count == 0 ? 0 : 1;
}
