#include "run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "branching.h"
#include "console.h"
#include "elf_firmware.h"
#include "endpoint_link.h"
#include "host_firmware.h"
#include "interrupt_signals.h"
#include "node.h"
#include "pacing.h"
#include "run_outputs.h"
#include "run_reports.h"
#include "scenario_checks.h"
#include "scenario_suite.h"
#include "serial_endpoint.h"

namespace nodesim {

namespace {

// Paced: a step every 10 ms of wall time keeps typing, printing and a program on USART1 smooth (a
// character takes 1.04 ms at 9600 baud, so a step carries about ten of them). Fast: only Ctrl-C needs
// noticing.
constexpr double kLiveStepMillis = 10.0;
constexpr sim::Picos kFastStep = sim::milliseconds(100);

// The virtual time one paced step covers: 10 ms of wall time at `speed`, never less than 1 ms.
sim::Picos live_step(double speed)
{
    double millis = std::max(kLiveStepMillis * speed, 1.0);
    return static_cast<sim::Picos>(millis * static_cast<double>(sim::kPicosPerMilli));
}

// Tells the console of a program attaching to USART1's far end or leaving it, once there is a console.
class EndpointNotices {
public:
    SerialEndpoint::Notice relay()
    {
        return [this](const std::string& text) {
            if (to_) to_(text);
        };
    }
    void send_to(SerialEndpoint::Notice to) { to_ = std::move(to); }

private:
    SerialEndpoint::Notice to_;
};

std::unique_ptr<SerialEndpoint> open_endpoint(const Options& options, EndpointNotices& notices)
{
    if (options.pty) return open_pty_endpoint(notices.relay());
    if (options.tcp) return open_tcp_endpoint(*options.tcp, notices.relay());
    return nullptr;
}

sim::BoardConfig board_config(const Options& options)
{
    sim::BoardConfig config;
    config.chip.crystal_present = options.crystal;
    config.chip.lsi_hz = options.lsi_hz;
    config.celsius = options.celsius;
    config.switch_position = options.switch_position;
    return config;
}

void print_start(const Options& options, const std::string& scenario)
{
    if (options.quiet) return;
    const bool with_scenario = !scenario.empty();
    std::printf("nodesim: the node from reset; crystal %s, switch B12 %s, sensor at %g C%s%s\n",
                options.crystal ? "25 MHz" : "missing", sim::to_string(options.switch_position), options.celsius,
                with_scenario ? (", scenario " + scenario).c_str() : "",
                options.fast ? ", as fast as it goes" : "; Ctrl-C ends the run, a line typed is sent as a frame");
    if (!options.fast && options.speed != 1.0) std::printf("nodesim: paced at %g times real time\n", options.speed);
    std::fflush(stdout);
}

void print_stats(sim::Chip& chip)
{
    // Each access is a step of the simulated core; polls accelerated to their end count once.
    double per_second = static_cast<double>(chip.access_count()) / std::max(sim::to_seconds(chip.now()), 1e-12);
    std::printf("nodesim: %llu register accesses, %.0f per virtual second\n",
                static_cast<unsigned long long>(chip.access_count()), per_second);
}

void print_summary(sim::Picos reached, double wall_seconds)
{
    double virtual_seconds = sim::to_seconds(reached);
    double ratio = wall_seconds > 0 ? virtual_seconds / wall_seconds : 0;
    std::printf("nodesim: %.6f s of virtual time in %.3f s of wall time, %.*f times real time\n", virtual_seconds,
                wall_seconds, ratio < 100 ? 2 : 0, ratio);
    std::fflush(stdout);
}

// The tool's turn between the node's events, from a periodic event that also holds virtual time to the
// wall clock when paced: Ctrl-C, lines typed, the endpoint's bytes both ways, the quiet console.
class ToolTurn {
public:
    ToolTurn(const Options& options, sim::Board& board, SerialEndpoint* endpoint, Console& console,
             const InterruptSignals& signals)
        : live_(!options.fast),
          step_(live_ ? live_step(options.speed) : kFastStep),
          board_(board),
          console_(console),
          signals_(signals),
          pacer_(board.chip.scheduler(), step_, live_ ? options.speed : 0.0, [this](sim::Picos at) { take(at); })
    {
        if (endpoint) link_.emplace(board, *endpoint, step_);
        pacer_.start(board.chip.now());
    }
    // The run is over: what the node sent since the last turn goes to the endpoint.
    void finish()
    {
        if (link_) link_->finish();
    }

private:
    void take(sim::Picos at)
    {
        if (signals_.raised()) throw sim::Stop(sim::Stop::Kind::Interrupted, "interrupted", at);
        if (live_)
            for (const std::string& line : typed_.poll())
                if (!line.empty()) board_.send(line);
        if (link_) link_->step(at);
        console_.flush_quiet(at);
    }

    const bool live_;
    const sim::Picos step_;
    sim::Board& board_;
    Console& console_;
    const InterruptSignals& signals_;
    LineReader typed_;
    std::optional<EndpointLink> link_;
    Pacer pacer_;
};

// The node with its firmware: the one built into nodesim, or a flashable image on the emulated core
// (programmed into the chip now, so that an image that does not fit is bad input, and listening for a
// debugger with --gdb); a scenario may take the crystal off the board. Throws std::runtime_error on bad
// input.
// `image_out`, when given, is set to the image's firmware (nullptr for the built-in one); `landings`, when
// given, records where the image's interrupts were taken.
std::unique_ptr<sim::Node> make_node(const Options& options, bool crystal_missing,
                                     sim::cpu::ElfFirmware** image_out = nullptr,
                                     sim::cpu::InterruptLandings* landings = nullptr)
{
    sim::BoardConfig config = board_config(options);
    if (crystal_missing) config.chip.crystal_present = false;
    if (options.elf.empty()) return std::make_unique<sim::Node>(config, std::make_unique<sim::HostFirmware>());
    auto firmware = std::make_unique<sim::cpu::ElfFirmware>(sim::cpu::ElfImage::load(options.elf),
                                                            sim::cpu::RunnerOptions{.landings = landings});
    sim::cpu::ElfFirmware& image = *firmware;
    if (image_out) *image_out = &image;
    auto node = std::make_unique<sim::Node>(config, std::move(firmware));
    image.load(node->board());
    if (options.gdb_port) {
        uint16_t port = image.listen_for_debugger(*options.gdb_port);
        // Always printed, and first: the debugger's user (or a script) reads where to connect from it.
        std::printf("nodesim: gdb on tcp 127.0.0.1:%u\n", static_cast<unsigned>(port));
        std::fflush(stdout);
    }
    return node;
}

// Holds the node in reset until a program attaches to USART1's far end; false when Ctrl-C came first.
bool wait_for_attach(SerialEndpoint& endpoint, const InterruptSignals& signals, bool quiet)
{
    if (!quiet) {
        std::printf("nodesim: the node is held in reset until a program attaches to USART1\n");
        std::fflush(stdout);
    }
    while (!endpoint.attached()) {
        if (signals.raised()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The end of the run on the console and in the trace; returns the exit status. `closing_line`: the
// virtual and wall time reached (left to the summary when the run is one of several).
int report_end(const Options& options, const sim::RunEnd& end, TraceOutputs& outputs, const RunFiles& files,
               sim::Chip& chip, double wall_seconds, bool closing_line)
{
    int status = 0;
    if (end.kind == sim::RunEnd::Kind::Failure) {
        std::fprintf(stderr, "nodesim: the simulator failed at %.6f s: %s\n", sim::to_seconds(end.at),
                     end.reason.c_str());
        status = 1;
    }
    outputs.finish(end, chip.now());
    if (!files.written()) {
        std::fprintf(stderr, "nodesim: writing a trace file failed\n");
        status = 1;
    }
    if (options.stats) print_stats(chip);
    if (closing_line) print_summary(chip.now(), wall_seconds);
    return status;
}

}  // namespace

std::string runner_name(const Options& options)
{
    return options.elf.empty() ? "nodesim" : "nodesim --elf " + options.elf;
}

int run_one(const Options& options, const std::function<void(const sim::FileResult&)>& report)
{
    RunFiles files;
    EndpointNotices notices;
    std::unique_ptr<SerialEndpoint> endpoint;
    std::unique_ptr<sim::Node> node;
    std::vector<Branch> branches;
    std::unique_ptr<RunReports> reports;
    std::optional<sim::cpu::InterruptLandings> landings;
    if (!options.interrupt_pcs.empty()) landings.emplace(options.branch_at.value_or(0));
    try {
        files = RunFiles::open(options);
        sim::cpu::ElfFirmware* image = nullptr;
        node = make_node(options, files.scenario ? files.scenario->crystal_missing_line != 0 : false, &image,
                         landings ? &*landings : nullptr);
        reports = std::make_unique<RunReports>(options, node->board(), image);
        if (!options.branches.empty()) branches = load_branches(options.branches, *options.branch_at);
        endpoint = open_endpoint(options, notices);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "nodesim: %s\n", error.what());
        return kBadInputStatus;
    }
    if (endpoint) {
        // Always printed, --quiet or not: the program that started nodesim reads where to connect from it.
        std::printf("nodesim: USART1 on %s\n", endpoint->where().c_str());
        std::fflush(stdout);
    }

    sim::Board& board = node->board();
    sim::Chip& chip = node->chip();
    // Before the console's first lines: the pins' states at reset.
    print_start(options, files.scenario ? files.scenario->name : "");
    TraceOutputs outputs(options, files, board);
    if (endpoint && !options.quiet)
        notices.send_to([&outputs, &chip](const std::string& text) {
            outputs.console().note(chip.now(), "USART1 endpoint: " + text);
        });
    std::optional<ScenarioChecks> checks;
    std::optional<sim::Picos> duration = options.duration;
    if (files.scenario) {
        sim::schedule_scenario(*files.scenario, chip.scheduler(),
                               [&board](const sim::ScenarioStep& step) { board.apply(step); });
        if (!files.scenario->expectations.empty()) outputs.add(checks.emplace(*files.scenario, board, options.quiet));
        // A scenario that judges, or one of several, ends where its last line does.
        if (!duration && (checks || report)) duration = std::max(files.scenario->last_time(), sim::milliseconds(1));
    }

    std::optional<Brancher> brancher;
    if (options.branch_at) brancher.emplace(board, files, options, std::move(branches));

    InterruptSignals signals;
    if (options.wait_attach && !wait_for_attach(*endpoint, signals, options.quiet)) return 0;
    ToolTurn turn(options, board, endpoint.get(), outputs.console(), signals);
    auto wall_start = std::chrono::steady_clock::now();
    const sim::RunEnd end = node->run(duration.value_or(sim::kNever));
    double wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    turn.finish();
    const bool reports_written = reports->finish();
    // A branch leaves the summing up to the run it branched from, which waits for every branch.
    const bool branch = brancher && brancher->branch();
    int status = report_end(options, end, outputs, files, chip, wall_seconds, !report && !branch);
    if (!reports_written) {
        std::fprintf(stderr, "nodesim: writing %s failed\n", options.profile.c_str());
        status = 1;
    }
    if (landings) {
        const std::string path =
            branch ? branch_path(options.interrupt_pcs, brancher->branch()->name) : options.interrupt_pcs;
        if (!landings->write(path)) {
            std::fprintf(stderr, "nodesim: writing %s failed\n", path.c_str());
            status = 1;
        }
    }
    if (branch) brancher->end_branch(status);
    if (brancher && !brancher->children_succeeded()) status = 1;
    if (!files.scenario) return status;
    if (checks) checks->finish(end, chip.now());
    const sim::FileResult result =
        checks ? checks->result(chip.now(), wall_seconds)
               : sim::FileResult{files.scenario->name, sim::to_seconds(chip.now()), wall_seconds, {}};
    if (files.junit) {
        sim::write_junit(*files.junit, {result}, runner_name(options));
        files.junit->flush();
        if (!files.junit->good()) {
            std::fprintf(stderr, "nodesim: writing %s failed\n", options.junit.c_str());
            status = 1;
        }
    }
    if (report) report(result);
    if (status == 0 && checks && !checks->all_passed()) status = kExpectationFailedStatus;
    return status;
}

int run(const Options& options)
{
    if (options.scenarios.size() > 1) return run_suite(options);
    return run_one(options, nullptr);
}

}  // namespace nodesim
