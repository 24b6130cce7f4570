// Turns a fuzzer's input into what the dashboard peer does on the node's USART1 receive line: bytes
// sent back to back, gaps, breaks, bytes with noise, and a changed bit rate.
//
// Plain bytes are sent as they stand, back to back at the peer's rate, so a text input such as
// "V01=40$" is that frame. The byte 0xFE starts an action; its next byte selects it (low 3 bits) and the
// byte after that is its argument:
//   0  gap of (arg + 1) x 100 us                  (up to 25.6 ms: around the 1.04 ms idle detection)
//   1  gap of (arg + 1) x 10 ms                   (up to 2.56 s: across report cycles)
//   2  break: the line held low for (arg + 1) x 100 us (a framing error from 1.04 ms on)
//   3  the byte `arg` with a glitch in data bit (selector >> 3) & 7 (a noise error)
//   4  the peer's rate becomes 9600 x (1 + (int8_t)arg / 1000) (+-12.8 %)
//   5  the byte 0xFE itself (no argument)
//   6  gap of arg/256 of a character time (just under or over the idle line's length)
//   7  the byte after `arg` repeated arg + 1 times (bursts longer than the 50-byte frame limit)
// An action cut short by the end of the input is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board.h"

namespace fuzz {

struct ScriptSummary {
    size_t bytes = 0;  // characters put on the line (including noisy ones)
    size_t breaks = 0;
    size_t noises = 0;
    sim::Picos end = 0;  // when the line is idle again after the last action
};

// Schedules the peer's actions from `start` on. An action that would not be over by `deadline` is left
// out, with everything after it, so that the line is idle from `deadline` on.
ScriptSummary schedule_peer_script(sim::Board& board, const uint8_t* data, size_t size, sim::Picos start,
                                   sim::Picos deadline);

}  // namespace fuzz
