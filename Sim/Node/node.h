// One node: the board (the chip and what is wired to its pins) and the firmware that runs on it. Set the
// board up (its trace, stimuli, extra events), then run it once from reset:
//
//   sim::Node node(config, std::make_unique<sim::HostFirmware>());
//   node.board().observe(trace);
//   sim::RunEnd end = node.run(sim::seconds(10));
#pragma once

#include <memory>

#include "board.h"
#include "firmware.h"
#include "run_end.h"

namespace sim {

class Node {
public:
    Node(const BoardConfig& config, std::unique_ptr<Firmware> firmware);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    Board& board() { return board_; }
    Chip& chip() { return board_.chip; }

    // Runs the firmware from reset until virtual time reaches `limit` (kNever: until it halts or is
    // interrupted). A node runs once: a second run would start from the first one's state, not from reset
    // (throws std::logic_error).
    RunEnd run(Picos limit = kNever);

private:
    Board board_;
    std::unique_ptr<Firmware> firmware_;
    bool ran_ = false;
};

}  // namespace sim
