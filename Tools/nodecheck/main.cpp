// nodecheck: a scenario's steps played, and its expectations judged, against a real board over the
// serial link of its USART1 (or USART2), as nodesim judges them on the simulated node.
//
// Exit status: 0 every expectation judged passed (skipped ones aside); 1 the node did not answer (no
// greeting in time) or the device went away during a run; 2 bad input (an option, a scenario file, a
// device missing or busy, a report that cannot be written), before anything runs; 3 an expectation failed.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>

#include "board_run.h"
#include "scenario_report.h"

namespace {

constexpr int kRunFailedStatus = 1;
constexpr int kBadInputStatus = 2;
constexpr int kExpectationFailedStatus = 3;

struct Options {
    std::string device;
    std::vector<std::string> scenarios;
    std::string junit;
    nodecheck::BoardSetup setup;
    double greeting_timeout = 10;
    double slack = -1;  // default: worked out from the speed
};

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    CLI::App app{
        "nodecheck: play scenario files against a board over its serial link and judge what the link shows.\n"
        "Each file starts at the node's greeting after a reset (press the board's reset, or give\n"
        "--reset-command); frames and breaks are sent at their times; expectations of reports and texts on the\n"
        "device's port are judged; what a board cannot be given or shown over its link is skipped by name."};
    app.add_option("--device", options.device, "The serial device on the node's port: /dev/ttyUSB0, a pseudo-terminal")
        ->required();
    app.add_option("--scenario", options.scenarios, "Scenario files, or folders of *.scenario files")
        ->required()
        ->check(CLI::ExistingPath);
    app.add_option("--port", options.setup.port, "The node's port the device is wired to (default USART1)")
        ->check(CLI::IsMember({"USART1", "USART2"}));
    app.add_option("--junit", options.junit, "Write a JUnit XML report to this file");
    app.add_option("--speed", options.setup.speed,
                   "Virtual seconds to a wall second: the speed of a simulator on the other end (default 1)")
        ->check(CLI::Range(0.01, 100.0));
    app.add_option("--slack", options.slack,
                   "Seconds each window is widened (or an absence's narrowed) for the link's latency "
                   "(default 0.03 + 0.02 x speed)")
        ->check(CLI::Range(0.0, 10.0));
    app.add_option("--greeting-timeout", options.greeting_timeout,
                   "Wall seconds to wait for the node's greeting before a file (default 10)")
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--reset-command", options.setup.reset_command,
                   "A shell command that resets the board, run before waiting for each file's greeting");
    app.add_flag("-q,--quiet", options.setup.quiet, "Print only failures and the summary");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : kBadInputStatus;
    }
    options.setup.greeting_timeout = std::chrono::milliseconds(static_cast<long long>(options.greeting_timeout * 1000));
    // The simulator's pseudo-terminal passes bytes at 10 ms steps of wall time; an adapter adds up to 16 ms.
    options.setup.slack = options.slack >= 0 ? options.slack : 0.03 + 0.02 * options.setup.speed;

    std::vector<sim::Scenario> scenarios;
    std::unique_ptr<std::ofstream> junit;
    std::unique_ptr<nodecheck::SerialDevice> device;
    try {
        for (const std::string& file : sim::scenario_files(options.scenarios))
            scenarios.push_back(sim::load_scenario(file));
        if (!options.junit.empty()) {
            junit = std::make_unique<std::ofstream>(options.junit, std::ios::trunc);
            if (!*junit) throw std::runtime_error(options.junit + ": cannot open for writing");
        }
        device = std::make_unique<nodecheck::SerialDevice>(options.device);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "nodecheck: %s\n", error.what());
        return kBadInputStatus;
    }

    std::vector<sim::FileResult> results;
    int status = 0;
    for (const sim::Scenario& scenario : scenarios) {
        nodecheck::BoardOutcome outcome = nodecheck::run_on_board(scenario, *device, options.setup);
        results.push_back(outcome.result);
        if (outcome.ending != nodecheck::BoardOutcome::Ending::Done) {
            std::fprintf(stderr, "nodecheck: %s\n", outcome.problem.c_str());
            status = kRunFailedStatus;
            break;  // a board that does not answer, or a device gone, will not do better for the next file
        }
        sim::Tally t;
        t.add(outcome.result.cases);
        if (!t.all_passed()) status = kExpectationFailedStatus;
    }
    sim::Tally all;
    for (const sim::FileResult& r : results) all.add(r.cases);
    if (junit) {
        sim::write_junit(*junit, results, "nodecheck " + options.device);
        junit->flush();
        if (!junit->good()) {
            std::fprintf(stderr, "nodecheck: writing %s failed\n", options.junit.c_str());
            status = kRunFailedStatus;
        }
    }
    std::printf("nodecheck: %zu of %zu scenario files on %s: %zu passed, %zu failed, %zu skipped, %zu not judged\n",
                results.size(), scenarios.size(), options.device.c_str(), all.passed, all.failed, all.skipped,
                all.errors);
    return status;
}
