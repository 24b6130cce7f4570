// The program the simulated node runs, and the way the simulator runs it: the firmware compiled for the
// PC and linked into the simulator (its handlers called from the vector table, its registers reached
// through the bus), or an image for the chip executed instruction by instruction. Either drives the same
// board through the chip's bus, so the models, the stimuli and the trace are the same.
#pragma once

#include "board.h"
#include "run_end.h"
#include "sim_time.h"

namespace sim {

class Firmware {
public:
    virtual ~Firmware() = default;

    // Runs the firmware from reset on `board` until virtual time reaches `limit` (kNever: no limit), the
    // node halts, an event throws Stop::Kind::Interrupted, or the simulator fails; says which, and when.
    // The board's stimuli, observers and events are set up beforehand.
    virtual RunEnd run(Board& board, Picos limit) = 0;
};

}  // namespace sim
