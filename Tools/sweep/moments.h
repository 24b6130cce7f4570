// The moments of a run at which an interrupt landing between two instructions can matter, found in the
// trace of a baseline run: each is the centre of a window the sweep places stimuli across.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"

namespace sweep {

enum class MomentKind {
    ReportStart,  // a report character's start bit on USART1: the main loop's DR write just before it
    ReportEnd,    // its stop bit's end: the poll of SR for TXE and TC around it
    Armed,        // a change of rx_armed: the arming's steps, a reception's end
    CycleStart,   // the main loop's flag test, the interpretation and the re-arming, then the first 1-Wire reset
    OneWire,      // the start of a 1-Wire exchange (reset, write, read): its bit slots are timed by the core
};

struct Moment {
    MomentKind kind = MomentKind::ReportStart;
    int index = 0;  // of its kind, from 0 in time order
    sim::Picos t = 0;
    std::string what;  // for a person: "'!' of the report at 0.82 s", "armed", "read"
};

const char* kind_name(MomentKind kind);  // report-start, report-end, armed, cycle, onewire
std::optional<MomentKind> kind_from_name(std::string_view name);
constexpr MomentKind kMomentKinds[] = {MomentKind::ReportStart, MomentKind::ReportEnd, MomentKind::Armed,
                                       MomentKind::CycleStart, MomentKind::OneWire};

// Every moment of the baseline's trace after the greeting on USART1, by kind and then in time order:
// the start-up (the greeting, the first arming) comes once, before the port's receiver has been on for
// even a character.
std::vector<Moment> find_moments(const std::vector<sim::trace::Event>& baseline);

}  // namespace sweep
