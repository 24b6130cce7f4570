#include "soak_tally.h"

#include <cstdio>

namespace soak {

const char* describe(FrameOutcome outcome)
{
    switch (outcome) {
        case FrameOutcome::ActedOn:
            return "acted on";
        case FrameOutcome::NotACommand:
            return "not a command (garbage, near misses)";
        case FrameOutcome::CutAt50:
            return "cut at 50 bytes, command past the cut";
        case FrameOutcome::SecondInCycle:
            return "second frame in a cycle (one pending)";
        case FrameOutcome::OffAfterError:
            return "arrived while reception was off after an error";
        case FrameOutcome::HitByError:
            return "hit by a break or noise";
        case FrameOutcome::PartlyReceived:
            return "partly received (re-armed mid-frame)";
        case FrameOutcome::NotJudged:
            return "not judged (byte at the re-arming instant)";
        case FrameOutcome::PendingAtEnd:
            return "pending when the run ended";
        case FrameOutcome::Failed:
            return "FAILED (should have taken effect)";
        case FrameOutcome::LostToReset:
            return "lost to a reset of the node";
    }
    return "?";
}

namespace {

void row(std::string& out, const char* label, uint64_t value, const std::string& note = "")
{
    char line[160];
    std::snprintf(line, sizeof line, "| %-52s | %10llu | %s\n", label, static_cast<unsigned long long>(value),
                  note.c_str());
    out += line;
}

}  // namespace

std::string format_table(const SoakTally& t, double days, uint64_t seed, double wall_seconds)
{
    std::string out;
    char head[200];
    std::snprintf(head, sizeof head, "Soak: %g simulated day(s) (%.0f s reached, end: %s), seed %llu\n", days,
                  t.simulated_seconds, t.end_reason.c_str(), static_cast<unsigned long long>(seed));
    out += head;
    out += "| what                                                 |      count | note\n";
    out += "|------------------------------------------------------|------------|-----\n";
    row(out, "frames sent", t.frames_sent, std::to_string(t.frames_with_command) + " holding a command");
    row(out, "  acted on", t.outcome(FrameOutcome::ActedOn),
        t.acted_on_after_cut ? std::to_string(t.acted_on_after_cut) + " of them cut at 50 bytes" : "");
    uint64_t lost = 0;
    for (FrameOutcome o :
         {FrameOutcome::NotACommand, FrameOutcome::CutAt50, FrameOutcome::SecondInCycle, FrameOutcome::OffAfterError,
          FrameOutcome::HitByError, FrameOutcome::PartlyReceived, FrameOutcome::LostToReset})
        lost += t.outcome(o);
    row(out, "  lost by design", lost);
    for (FrameOutcome o :
         {FrameOutcome::NotACommand, FrameOutcome::CutAt50, FrameOutcome::SecondInCycle, FrameOutcome::OffAfterError,
          FrameOutcome::HitByError, FrameOutcome::PartlyReceived, FrameOutcome::LostToReset}) {
        std::string label = std::string("    ") + describe(o);
        row(out, label.c_str(), t.outcome(o));
    }
    for (FrameOutcome o : {FrameOutcome::NotJudged, FrameOutcome::PendingAtEnd, FrameOutcome::Failed}) {
        std::string label = std::string("  ") + describe(o);
        row(out, label.c_str(), t.outcome(o));
    }
    row(out, "errors injected", t.breaks + t.noise + t.sensor_faults,
        std::to_string(t.breaks) + " breaks, " + std::to_string(t.noise) + " noise, " +
            std::to_string(t.sensor_faults) + " sensor faults");
    row(out, "  line errors that ended a reception", t.errors_ending_reception);
    row(out, "  recoveries (re-arms after an error)", t.recoveries);
    row(out, "resets a stimulus explains (each recovered)", t.restarts);
    row(out, "temperature changes / switch changes", t.temperature_changes,
        std::to_string(t.switch_changes) + " switch changes");
    row(out, "report cycles", t.cycles);
    row(out, "  temperature reports sent", t.reports_sent);
    row(out, "  temperature reports left out (failed readings)", t.reports_left_out);
    row(out, "  older readings (the sensor off the bus mid-cycle)", t.stale_readings);
    row(out, "  switch reports", t.switch_reports);
    row(out, "1-Wire timing violations", t.onewire_violations);
    row(out, "check failures", t.violation_count);
    char wall[160];
    std::snprintf(wall, sizeof wall, "| %-52s | %10.1f | %.0f times real time\n", "wall time (s)", wall_seconds,
                  wall_seconds > 0 ? t.simulated_seconds / wall_seconds : 0.0);
    out += wall;
    return out;
}

}  // namespace soak
