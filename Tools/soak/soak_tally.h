// What a soak run counted, and the checks it failed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace soak {

// What became of one frame the dashboard sent. Every frame ends in exactly one of these.
enum class FrameOutcome {
    ActedOn,         // taken over at the start of the next cycle; its command had the protocol's effect
    NotACommand,     // taken over whole; no command in it
    CutAt50,         // taken over cut after its 50th byte; a command only past the cut
    SecondInCycle,   // arrived while an earlier frame waited for the main loop (reception stopped)
    OffAfterError,   // arrived while reception was off after a line error, before the next cycle re-armed it
    HitByError,      // a break or noise ended the reception it was part of
    PartlyReceived,  // reception was re-armed in the middle of it; no command in the part stored
    NotJudged,       // a byte arrived within microseconds of the re-arming: either outcome is right
    PendingAtEnd,    // still waiting for the main loop when the run ended
    Failed,          // should have been acted on as the protocol says and was not
    LostToReset,     // on the line or waiting for the main loop when a stimulus reset the node
};
constexpr size_t kFrameOutcomes = 11;
const char* describe(FrameOutcome outcome);

struct Violation {
    double t = 0;
    std::string what;
    std::string expected;
    std::string seen;
};

struct SoakTally {
    uint64_t frames_sent = 0;
    uint64_t frames_with_command = 0;  // by the protocol's reading of the whole frame
    std::array<uint64_t, kFrameOutcomes> outcomes{};
    uint64_t acted_on_after_cut = 0;  // of ActedOn: the frame was longer than 50 bytes

    uint64_t breaks = 0;
    uint64_t noise = 0;
    uint64_t sensor_faults = 0;
    uint64_t switch_changes = 0;
    uint64_t temperature_changes = 0;
    uint64_t errors_ending_reception = 0;
    uint64_t recoveries = 0;  // re-arms of a reception that a line error had ended
    uint64_t restarts = 0;    // resets a stimulus explains (the reset button, the supply, a fault), followed

    uint64_t cycles = 0;
    uint64_t reports_sent = 0;      // "!A00=" reports
    uint64_t reports_left_out = 0;  // cycles whose reading failed
    uint64_t stale_readings = 0;    // reports of the scratchpad's older value: the sensor missed the conversion
    uint64_t switch_reports = 0;
    uint64_t onewire_violations = 0;

    double simulated_seconds = 0;
    std::string end_reason;

    uint64_t violation_count = 0;
    std::vector<Violation> first_violations;  // the first few, in time order

    uint64_t& outcome(FrameOutcome o) { return outcomes[static_cast<size_t>(o)]; }
    uint64_t outcome(FrameOutcome o) const { return outcomes[static_cast<size_t>(o)]; }
};

// The table a person reads at the end of a run.
std::string format_table(const SoakTally& tally, double days, uint64_t seed, double wall_seconds);

}  // namespace soak
