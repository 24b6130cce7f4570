#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>

#include "scenario.h"

namespace nodesim {

std::variant<Options, int> parse_options(int argc, char** argv)
{
    Options options;
    CLI::App app{
        "nodesim: the sensor-and-actuator node, from reset, on a simulated STM32F411 and its board.\n"
        "By default it runs in real time until Ctrl-C as a live console: what the node sends on both ports,\n"
        "the LED, the PWM duty and the switch as they change. Each line typed is sent to the node from the\n"
        "dashboard's side as one frame (V00=1, V01=75$)."};
    std::string duration;
    std::string switch_position = "float";
    app.add_option("--duration", duration, "Virtual seconds to run (default: until Ctrl-C or a halt)");
    app.add_flag("--fast", options.fast, "Run as fast as possible instead of in real time");
    app.add_option("--speed", options.speed,
                   "Virtual seconds per wall second (default 1: real time; the simulator manages a few "
                   "thousand at most)");
    app.add_flag("--pty", options.pty,
                 "Bridge USART1 to a new pseudo-terminal (its path is printed): a program opening it at "
                 "9600 8N1 talks to the node");
    std::string tcp;
    app.add_option("--tcp", tcp,
                   "Bridge USART1 to a TCP socket listening on HOST:PORT (HOST loopback when left out, "
                   "PORT 0 picks a free one; the real one is printed); one client at a time, a new one "
                   "replaces the old");
    app.add_flag("-q,--quiet", options.quiet,
                 "No live console; print only the closing line (and where --pty or --tcp put USART1)");
    app.add_flag("--stats", options.stats, "Before the closing line, count the register accesses the firmware made");
    app.add_option("--scenario", options.scenarios,
                   "Scenario file of timed stimuli and expectations, one a line: SECONDS VERB ARGS. Several "
                   "files (or a folder of *.scenario files) each run a node of their own from reset, side by "
                   "side, as fast as they go unless paced")
        ->check(CLI::ExistingPath);
    app.add_option("--junit", options.junit,
                   "Write the scenarios' expectations as a JUnit XML report to this file (a testsuite per file)");
    app.add_option("--jobs", options.jobs, "Scenario files, or branches, run at once (default: one per core)")
        ->check(CLI::Range(1U, 256U));
    app.add_flag("--wait-attach", options.wait_attach,
                 "With --pty or --tcp: hold the node in reset until a program attaches to USART1, so that it "
                 "sees the greeting");
    app.add_option("--trace", options.trace, "Write the trace as JSON lines to this file");
    app.add_option("--vcd", options.vcd, "Write the node's pins as a VCD waveform to this file");
    app.add_option("--interrupt-pcs", options.interrupt_pcs,
                   "With --elf: write to this file, one a line, every address at which SysTick or an interrupt "
                   "line was taken (with --branch-at: from that moment on; each branch to its own copy)");
    app.add_option("--temp", options.celsius, "Temperature at the sensor, degrees Celsius (-55 to 125)")
        ->check(CLI::Range(-55.0, 125.0));
    app.add_option("--switch", switch_position, "The switch on B12 at reset: 0, 1 or float")
        ->check(CLI::IsMember({"0", "1", "float"}));
    app.add_option("--lsi", options.lsi_hz,
                   "The LSI's frequency in Hz, which clocks the independent watchdog (default 32000; the "
                   "datasheet's spread is 17000 to 47000)")
        ->check(CLI::Range(sim::Iwdg::kLsiMinHz, sim::Iwdg::kLsiMaxHz));
    bool no_crystal = false;
    app.add_flag("--no-crystal", no_crystal, "Leave the 25 MHz crystal out (the clock set-up fails)");
    app.add_option("--elf", options.elf,
                   "Run this flashable image (node.elf) instruction by instruction on an emulated Cortex-M4 "
                   "instead of the firmware built into nodesim");
    int gdb_port = -1;
    app.add_option("--gdb", gdb_port,
                   "With --elf: start halted at the reset vector and serve a debugger (gdb-multiarch: "
                   "target remote :PORT) on 127.0.0.1:PORT (0 picks a free one; the real one is printed "
                   "first); virtual time stands still while the node is halted")
        ->check(CLI::Range(0, 65535));
    app.add_option("--profile", options.profile,
                   "With --elf: write the cycles spent in each function, by call stack, to this file as folded "
                   "stacks (\"main;DS18b20_temp;onewire_Read 12345\" a line: FlameGraph and speedscope read "
                   "them); the stack's deepest point is printed at the end");
    app.add_option("--cycles", options.cycles,
                   "With --elf: at the end, print this function's cycles per call (calls, minimum, median, "
                   "maximum; inclusive of its callees and of the interrupts taken meanwhile); repeatable");
    app.add_flag("--onewire-margins", options.onewire_margins,
                 "At the end, print the 1-Wire slots' measured times (minimum and maximum of each kind) against "
                 "the DS18B20's windows");
    std::string branch_at;
    app.add_option("--branch-at", branch_at,
                   "Virtual seconds at which the runs of --branches part: the node runs once to there, then "
                   "forks once for each branch (an event of its own at that moment, branches or not)");
    app.add_option("--branches", options.branches,
                   "With --branch-at: a file of branches, each \"branch NAME\" then its scenario lines; branch "
                   "NAME writes the trace and waveform files with .NAME before their extension")
        ->check(CLI::ExistingFile);

    try {
        app.parse(argc, argv);
        if (!duration.empty()) {
            try {
                options.duration = sim::parse_seconds(duration);
            } catch (const std::invalid_argument& error) {
                throw CLI::ValidationError("--duration", error.what());
            }
            if (*options.duration == 0) throw CLI::ValidationError("--duration", "must be more than 0 s");
        }
        if (!branch_at.empty()) {
            try {
                options.branch_at = sim::parse_seconds(branch_at);
            } catch (const std::invalid_argument& error) {
                throw CLI::ValidationError("--branch-at", error.what());
            }
        }
        if (!(options.speed > 0) || !std::isfinite(options.speed))
            throw CLI::ValidationError("--speed", "must be a number more than 0 (1: real time)");
    } catch (const CLI::ParseError& error) {
        // --help arrives here too, with status 0. A bad option gets the status of any other bad input
        // rather than the library's own code for each kind of mistake.
        return app.exit(error) == 0 ? 0 : kBadInputStatus;
    }

    // The serial endpoints are for live programs on the other side: they need the node paced to a clock.
    auto conflict = [](const char* text) {
        std::fprintf(stderr, "nodesim: %s\n", text);
        return kBadInputStatus;
    };
    const bool speed_given = app.count("--speed") > 0;
    const bool tcp_given = app.count("--tcp") > 0;
    if (options.pty && tcp_given) return conflict("--pty and --tcp both want USART1: choose one");
    if (options.fast && (options.pty || tcp_given))
        return conflict(
            "--fast does not go with --pty or --tcp: a program on the other side needs the node paced "
            "(use --speed FACTOR to run it faster than real time)");
    if (options.fast && speed_given) return conflict("--fast and --speed contradict each other: choose one");
    if (app.count("--gdb") > 0) {
        if (options.elf.empty()) return conflict("--gdb debugs an image: it needs --elf FILE");
        options.gdb_port = static_cast<uint16_t>(gdb_port);
    }
    // --profile, --cycles and --onewire-margins each report at the end on the one run there is.
    const bool profiles_image = !options.profile.empty() || !options.cycles.empty();
    const bool reports_on_run = profiles_image || options.onewire_margins;
    if (profiles_image && options.elf.empty())
        return conflict("--profile and --cycles profile an image: they need --elf FILE");
    if (!options.branches.empty() && reports_on_run)
        return conflict("--profile, --cycles and --onewire-margins report on one run, not on --branches");
    if (!options.interrupt_pcs.empty() && (options.elf.empty() || options.scenarios.size() > 1))
        return conflict("--interrupt-pcs needs --elf FILE and at most one scenario");
    if (!options.branches.empty()) {
        if (!options.branch_at) return conflict("--branches needs --branch-at SECONDS, the moment the runs part");
        // The children are copies of this process: nothing outside it may be shared with them.
        if (!options.fast || options.pty || tcp_given || options.gdb_port || options.scenarios.size() > 1)
            return conflict("--branches runs with --fast only, with one scenario, without --pty, --tcp or --gdb");
        if (options.trace == "-" || options.trace.rfind("/dev/", 0) == 0 || options.vcd.rfind("/dev/", 0) == 0)
            return conflict("--branches needs --trace and --vcd to be files, which each branch copies");
    }
    if (tcp_given) {
        auto address = parse_listen_address(tcp);
        if (auto* error = std::get_if<std::string>(&address)) {
            std::fprintf(stderr,
                         "nodesim: --tcp %s: %s; expected HOST:PORT, HOST an IPv4 address, localhost or nothing "
                         "(loopback), PORT 0 to 65535 (127.0.0.1:7000, localhost:7000, :7000, :0)\n",
                         tcp.c_str(), error->c_str());
            return kBadInputStatus;
        }
        options.tcp = std::get<ListenAddress>(address);
    }
    if (options.wait_attach && !options.pty && !tcp_given)
        return conflict("--wait-attach waits for a program on --pty or --tcp: give one of them");
    if (!options.junit.empty() && options.scenarios.empty())
        return conflict("--junit reports the expectations of scenarios: give --scenario FILE");
    try {
        options.scenarios = sim::scenario_files(options.scenarios);
    } catch (const sim::ScenarioError& error) {
        std::fprintf(stderr, "nodesim: --scenario %s\n", error.what());
        return kBadInputStatus;
    }
    if (options.scenarios.size() > 1) {
        for (auto [given, what] : {std::pair{options.pty || tcp_given, "--pty or --tcp"},
                                   {app.count("--gdb") > 0, "--gdb"},
                                   {reports_on_run, "--profile, --cycles or --onewire-margins"},
                                   {!options.trace.empty() || !options.vcd.empty(), "--trace or --vcd"}}) {
            if (!given) continue;
            std::fprintf(stderr, "nodesim: %s goes with one scenario file, not %zu (run that file alone)\n", what,
                         options.scenarios.size());
            return kBadInputStatus;
        }
    }
    options.switch_position = *sim::parse_switch_position(switch_position);
    options.crystal = !no_crystal;
    return options;
}

}  // namespace nodesim
