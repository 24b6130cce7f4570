// Writes a soak scenario for nodesim: a seed and a number of simulated days give the same file every
// time. The mix, spread over the whole run:
//   the dashboard   valid commands ("V00=1", "V00=0", "V01=N$" with N across 0..100, negative, past
//                   16 and 32 bits, empty, with prefixes and line endings), garbage and near misses,
//                   frames longer than 50 bytes, two frames in one cycle, noise and breaks (alone, or
//                   queued right behind a frame so that they hit it)
//   the sensor      a temperature that drifts, jumps to rounding boundaries and to the part's limits;
//                   faults (absent, line held low, corrupt) that come and go
//   the switch      0, 1 and open, now and then
#pragma once

#include <cstdint>
#include <string>

namespace soak {

struct GeneratorOptions {
    uint64_t seed = 1;
    double days = 1;
};

std::string generate_scenario(const GeneratorOptions& options);

// A send line's bytes written so that the scenario parser gives them back exactly: everything but
// letters, digits and a few safe marks as \xNN (a '#', a trailing blank or a control byte stays intact).
std::string escape_for_scenario(const std::string& bytes);

}  // namespace soak
