// The command line of nodesim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "iwdg.h"
#include "listen_address.h"
#include "sim_time.h"
#include "switch_model.h"

namespace nodesim {

struct Options {
    std::optional<sim::Picos> duration;  // virtual time to run; none: until interrupted or halted
    bool fast = false;                   // no pacing to the wall clock
    double speed = 1.0;                  // virtual seconds per wall second when paced
    bool pty = false;                    // USART1 on a new pseudo-terminal
    std::optional<ListenAddress> tcp;    // USART1 on a TCP socket listening here
    bool quiet = false;                  // no live console, only the closing line
    bool stats = false;                  // how much work the simulated core did
    std::vector<std::string> scenarios;  // scenario files (a folder given stands for its *.scenario files)
    std::string junit;                   // JUnit XML report of the scenarios' expectations
    unsigned jobs = 0;                   // scenario files, or branches, run side by side (0: one per core)
    bool wait_attach = false;            // hold the node in reset until a program attaches to USART1
    std::string trace;                   // JSON lines
    std::string vcd;
    double celsius = 22.0;
    sim::SwitchPosition switch_position = sim::SwitchPosition::Floating;
    bool crystal = true;
    uint32_t lsi_hz = sim::Iwdg::kLsiTypicalHz;  // the LSI, which clocks the independent watchdog
    std::string elf;                             // run this flashable image on the emulated core instead
    std::optional<uint16_t> gdb_port;            // with elf: wait for a debugger here (0: a free port)
    std::string interrupt_pcs;                   // with elf: where interrupts were taken, written at the end
    std::optional<sim::Picos> branch_at;         // the moment the runs of --branches part (branching.h)
    std::string branches;                        // a file of branches, one group of scenario lines each
    std::string profile;                         // with elf: cycles by call stack as folded stacks to this file
    std::vector<std::string> cycles;             // with elf: functions whose cycles per call are printed at the end
    bool onewire_margins = false;                // print the 1-Wire timing against the sensor's windows at the end
};

// The exit status for every kind of bad input (an option, a scenario file, an output file, an endpoint
// that cannot be had): the run did not start. A program that starts nodesim tells it from a run that
// started and failed (1).
constexpr int kBadInputStatus = 2;
// The node ran, but an expectation of a scenario failed or could not be judged (the run ended first).
constexpr int kExpectationFailedStatus = 3;

// The options, or the exit status to end with at once (0 after --help; kBadInputStatus after a bad
// option, with the message already printed).
std::variant<Options, int> parse_options(int argc, char** argv);

}  // namespace nodesim
