// What a run reports at its end when asked: the image's cycle profile (--profile: folded stacks to a
// file, and the stack's deepest point), the cycles per call of chosen functions (--cycles), and the
// 1-Wire timing against the sensor's windows (--onewire-margins, either build).
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "cycle_profiler.h"
#include "elf_firmware.h"
#include "onewire_margins.h"
#include "options.h"

namespace nodesim {

class RunReports {
public:
    // Attaches what `options` asks for to `board` and, for an image, to its runner (`image`: nullptr for
    // the built-in firmware). Throws std::runtime_error for bad input: a profile file that cannot be
    // written, a --cycles function the image does not have, or one whose name stands for several.
    RunReports(const Options& options, sim::Board& board, sim::cpu::ElfFirmware* image);
    RunReports(const RunReports&) = delete;
    RunReports& operator=(const RunReports&) = delete;
    ~RunReports();

    // The run is over: prints the reports before the closing line and writes the profile. False when the
    // profile could not be written to the end.
    bool finish();

private:
    sim::Board& board_;
    sim::cpu::ElfFirmware* image_;
    std::unique_ptr<sim::cpu::CycleProfiler> profiler_;
    std::unique_ptr<std::ofstream> profile_file_;
    std::string profile_path_;
    std::vector<std::pair<std::string, int>> timed_;  // as the user named it, and which function
    std::optional<sim::OneWireMargins> margins_;
};

}  // namespace nodesim
