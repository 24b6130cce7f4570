#include "onewire_margins.h"

#include <algorithm>
#include <cstdio>

namespace sim {

double OneWireMargins::Row::margin_us() const
{
    if (count == 0) return 0;
    double margin = to_micros(min) - to_micros(window_min);
    if (window_max) margin = std::min(margin, to_micros(*window_max) - to_micros(max));
    return margin;
}

OneWireMargins::OneWireMargins()
    : rows_{
          {Measure::ResetLow, "reset low", microseconds(480), microseconds(960)},
          {Measure::PresenceSample, "presence sample after release", microseconds(60), microseconds(75)},
          {Measure::Write0Low, "write 0 low", microseconds(60), microseconds(120)},
          {Measure::Write1Low, "write 1 low (release)", microseconds(1), microseconds(15)},
          {Measure::ReadLow, "read low", microseconds(1), microseconds(15)},
          {Measure::ReadSample, "read sample after the fall", microseconds(1), microseconds(15)},
          {Measure::SlotLength, "slot length (fall to fall)", microseconds(60), std::nullopt},
      }
{}

void OneWireMargins::measure(Measure which, Picos value)
{
    Row& row = rows_[static_cast<size_t>(which)];
    ++row.count;
    row.min = std::min(row.min, value);
    row.max = std::max(row.max, value);
}

void OneWireMargins::add(const OneWireSlave::Slot& slot)
{
    using Kind = OneWireSlave::Slot::Kind;
    switch (slot.kind) {
        case Kind::Reset:
            measure(Measure::ResetLow, slot.low);
            // Not sampled: the master did not look for a presence pulse (nothing to judge).
            if (slot.sample != 0) measure(Measure::PresenceSample, slot.sample);
            return;
        case Kind::Write0:
            measure(Measure::Write0Low, slot.low);
            break;
        case Kind::Write1:
            measure(Measure::Write1Low, slot.low);
            break;
        case Kind::Read:
            measure(Measure::ReadLow, slot.low);
            if (slot.sample != 0) measure(Measure::ReadSample, slot.sample);
            break;
    }
    // A slot followed by a reset or the next byte's use of the line is idle time, not a slot that is too
    // long; only the shortest matters against tSLOT.
    if (slot.length != 0) measure(Measure::SlotLength, slot.length);
}

bool OneWireMargins::all_inside() const
{
    return std::all_of(rows_.begin(), rows_.end(), [](const Row& row) { return row.inside(); });
}

std::string OneWireMargins::table() const
{
    std::string out =
        "1-Wire timing against the DS18B20's windows (us; margin: from the nearer edge, negative outside)\n";
    char line[160];
    std::snprintf(line, sizeof line, "  %-30s %-11s %7s %10s %10s %8s\n", "measure", "window", "count", "min", "max",
                  "margin");
    out += line;
    for (const Row& row : rows_) {
        char window[32];
        if (row.window_max)
            std::snprintf(window, sizeof window, "%g-%g", to_micros(row.window_min), to_micros(*row.window_max));
        else
            std::snprintf(window, sizeof window, ">= %g", to_micros(row.window_min));
        if (row.count == 0) {
            std::snprintf(line, sizeof line, "  %-30s %-11s %7s\n", row.what, window, "none");
        } else {
            // Without an upper edge the longest is idle line between transfers, not a timing.
            char longest[16] = "-";
            if (row.window_max) std::snprintf(longest, sizeof longest, "%.3f", to_micros(row.max));
            std::snprintf(line, sizeof line, "  %-30s %-11s %7llu %10.3f %10s %+8.3f%s\n", row.what, window,
                          static_cast<unsigned long long>(row.count), to_micros(row.min), longest, row.margin_us(),
                          row.inside() ? "" : "  OUTSIDE");
        }
        out += line;
    }
    return out;
}

}  // namespace sim
