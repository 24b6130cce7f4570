// The master's 1-Wire timing over a run against the DS18B20's windows, slot kind by slot kind: the
// shortest and longest of each measure and how far the nearer one sits from the window's edge, so that a
// timing that creeps towards an edge shows before the sensor rejects it.
//   reset low                 480-960 us (tRSTL; longer may power-on-reset a parasite-powered part)
//   presence sample           60-75 us after the release: the part starts its pulse 15-60 us after it
//                             sees the release (tPDHIGH) and holds it 60-240 us (tPDLOW), so only that
//                             span is low with every part
//   write 0 low               60-120 us (tLOW0)
//   write 1 low               1-15 us (tLOW1): released before the part's earliest sample
//   read low                  1-15 us: the master lets go before the part's data stops being valid
//   read sample               at most 15 us from the falling edge (tRDV), after the master's 1 us low
//   slot length               at least 60 us from falling edge to falling edge (tSLOT)
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "onewire_slave.h"
#include "sim_time.h"

namespace sim {

class OneWireMargins {
public:
    enum class Measure : uint8_t { ResetLow, PresenceSample, Write0Low, Write1Low, ReadLow, ReadSample, SlotLength };

    struct Row {
        Measure measure;
        const char* what;
        Picos window_min;
        std::optional<Picos> window_max;
        uint64_t count = 0;
        Picos min = kNever;
        Picos max = 0;
        // Microseconds from the nearer edge of the window to the measured extreme: negative outside.
        double margin_us() const;
        bool inside() const { return margin_us() >= 0; }
    };

    OneWireMargins();

    // One slot as the sensor timed it (OneWireSlave::on_slot).
    void add(const OneWireSlave::Slot& slot);

    const std::vector<Row>& rows() const { return rows_; }
    // Every measure seen sits inside its window.
    bool all_inside() const;
    // The rows as a table for a person, one a line under a heading, "OUTSIDE" after a row that is.
    std::string table() const;

private:
    void measure(Measure which, Picos value);

    std::vector<Row> rows_;
};

}  // namespace sim
