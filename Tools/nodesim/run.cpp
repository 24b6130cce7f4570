#include "run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

#include "board.h"
#include "console.h"
#include "endpoint_link.h"
#include "jsonl_writer.h"
#include "pacing.h"
#include "scenario.h"
#include "serial_endpoint.h"
#include "vcd_writer.h"

extern "C" {
typedef void (*vector_entry)(void);
extern const vector_entry g_pfnVectors[102];
void Default_Handler(void);
void Reset_Handler(void);
}

namespace nodesim {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

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

std::unique_ptr<std::ofstream> open_output(const std::string& path)
{
    auto out = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*out) throw std::runtime_error(path + ": cannot open for writing");
    return out;
}

void print_summary(sim::Picos reached, double wall_seconds)
{
    double virtual_seconds = sim::to_seconds(reached);
    double ratio = wall_seconds > 0 ? virtual_seconds / wall_seconds : 0;
    std::printf("nodesim: %.6f s of virtual time in %.3f s of wall time, %.*f times real time\n", virtual_seconds,
                wall_seconds, ratio < 100 ? 2 : 0, ratio);
    std::fflush(stdout);
}

}  // namespace

int run(const Options& options)
{
    std::optional<sim::Scenario> scenario;
    std::unique_ptr<std::ofstream> trace_file;
    std::unique_ptr<std::ofstream> vcd_file;
    try {
        if (!options.scenario.empty()) scenario = sim::load_scenario(options.scenario);
        if (!options.trace.empty()) trace_file = open_output(options.trace);
        if (!options.vcd.empty()) vcd_file = open_output(options.vcd);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nodesim: %s\n", error.what());
        return 2;
    }

    // A program on USART1's far end. Its attaching and leaving is told on the console, at the virtual
    // time it was noticed.
    std::unique_ptr<SerialEndpoint> endpoint;
    std::function<void(const std::string&)> endpoint_notice;
    auto notice = [&endpoint_notice](const std::string& text) {
        if (endpoint_notice) endpoint_notice(text);
    };
    try {
        if (options.pty) endpoint = open_pty_endpoint(notice);
        if (options.tcp) endpoint = open_tcp_endpoint(*options.tcp, notice);
    } catch (const EndpointError& error) {
        std::fprintf(stderr, "nodesim: %s\n", error.what());
        return 2;
    }
    if (endpoint) {
        // Always printed, --quiet or not: the program that started nodesim reads where to connect from it.
        std::printf("nodesim: USART1 on %s\n", endpoint->where().c_str());
        std::fflush(stdout);
    }

    sim::BoardConfig config;
    config.chip.crystal_present = options.crystal;
    config.celsius = options.celsius;
    config.switch_position = options.switch_position;
    sim::Board board(config);
    sim::Chip& chip = board.chip;

    sim::trace::Trace trace;
    Console console(std::cout);
    if (!options.quiet) trace.add(console);
    std::optional<sim::trace::JsonlWriter> jsonl;
    if (trace_file) trace.add(jsonl.emplace(*trace_file));
    std::optional<sim::trace::VcdWriter> vcd;
    if (vcd_file) {
        std::vector<sim::trace::VcdWriter::PinSpec> pins;
        for (auto [port, pin] : sim::Board::node_pins())
            pins.push_back({sim::trace::pin_name(port, pin), board.level(port, pin)});
        trace.add(vcd.emplace(
            *vcd_file, std::move(pins), "A0",
            [&board](sim::Picos from, sim::Picos to, const auto& edge) { board.pwm_edges(from, to, edge); }));
    }
    board.observe(trace);
    if (endpoint && !options.quiet)
        endpoint_notice = [&console, &chip](const std::string& text) {
            console.note(chip.now(), "USART1 endpoint: " + text);
        };
    // What the simulator has to say (an access to a register no model covers) goes to the developer at
    // once and into the trace at its time.
    chip.log().set_sink([&](const std::string& line) {
        std::fprintf(stderr, "sim: %s\n", line.c_str());
        trace.record(chip.now(), sim::trace::Note{line});
    });
    if (scenario)
        sim::schedule_scenario(*scenario, chip.scheduler(),
                               [&board](const sim::ScenarioStep& step) { board.apply(step); });

    if (!options.quiet) {
        std::printf("nodesim: the node from reset; crystal %s, switch B12 %s, sensor at %g C%s%s\n",
                    options.crystal ? "25 MHz" : "missing", sim::to_string(options.switch_position), options.celsius,
                    scenario ? (", scenario " + options.scenario).c_str() : "",
                    options.fast ? ", as fast as it goes" : "; Ctrl-C ends the run, a line typed is sent as a frame");
        if (!options.fast && options.speed != 1.0) std::printf("nodesim: paced at %g times real time\n", options.speed);
        std::fflush(stdout);
    }

    LineReader typed;
    const bool live = !options.fast;
    const double speed = live ? options.speed : 0.0;
    const sim::Picos step = live ? live_step(speed) : kFastStep;
    std::optional<EndpointLink> link;
    if (endpoint) link.emplace(board, *endpoint, step);
    Pacer pacer(chip.scheduler(), step, speed, [&](sim::Picos at) {
        if (g_interrupted) throw sim::Stop(sim::Stop::Kind::TimeLimit, "interrupted", at);
        if (live)
            for (const std::string& line : typed.poll())
                if (!line.empty()) board.send(line);
        if (link) link->step(at);
        console.flush_quiet(at);
    });
    pacer.start(chip.now());

    chip.set_vector_table(reinterpret_cast<const sim::Chip::Handler*>(g_pfnVectors), 102, Default_Handler);
    if (options.duration) chip.set_time_limit(*options.duration);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process the ordinary way
    sigaction(SIGINT, &action, nullptr);
    // A program that started nodesim ends it with SIGTERM: the traces are completed as for Ctrl-C.
    sigaction(SIGTERM, &action, nullptr);

    int status = 0;
    std::string end_reason;
    auto wall_start = std::chrono::steady_clock::now();
    try {
        Reset_Handler();
        // The firmware's main never returns; should it, the core would run off into nothing.
        trace.record(chip.now(), sim::trace::Halt{"main returned"});
        end_reason = "halt";
    } catch (const sim::Stop& stop) {
        if (stop.halted()) {
            trace.record(stop.at(), sim::trace::Halt{stop.reason()});
            end_reason = "halt";
        } else {
            end_reason = stop.reason() == "interrupted" ? "interrupted" : "time limit";
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nodesim: the simulator failed at %.6f s: %s\n", sim::to_seconds(chip.now()),
                     error.what());
        end_reason = "simulator failure";
        status = 1;
    }
    double wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (link) link->finish();  // what the node sent since the last step

    trace.record(chip.now(), sim::trace::End{end_reason});
    trace.finish(chip.now());
    if ((trace_file && !trace_file->good()) || (vcd_file && !vcd_file->good())) {
        std::fprintf(stderr, "nodesim: writing a trace file failed\n");
        status = 1;
    }
    if (options.stats) {
        // Each access is a step of the simulated core; polls accelerated to their end count once.
        double per_second = static_cast<double>(chip.access_count()) / std::max(sim::to_seconds(chip.now()), 1e-12);
        std::printf("nodesim: %llu register accesses, %.0f per virtual second\n",
                    static_cast<unsigned long long>(chip.access_count()), per_second);
    }
    print_summary(chip.now(), wall_seconds);
    return status;
}

}  // namespace nodesim
