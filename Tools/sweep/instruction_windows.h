// The instruction windows of the image where an interrupt can race the serial code, as sets of
// instruction boundaries (an interrupt taken at a boundary returns to the address of the instruction
// after it, so a boundary is named by that address). They are found in the image's own code: its
// functions by symbol, the window's ends by the instructions that bound it (a store to the port's DR,
// the handle's count, an LDREX...), so that a rebuilt image is measured without a table to keep.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace sweep {

struct InstructionWindow {
    std::string name;
    std::set<uint32_t> boundaries;
};

// The windows of `elf`: the polled transmit from each DR write through the store of the decremented
// TxXferCount; the DMA reception's arming from its RxState = BUSY_RX store up to the call that starts the
// stream, its flag clears' SR and DR reads, and each atomic bit set from after its LDREX to its STREX;
// the stream's start from its state store through the enable. Throws std::runtime_error naming what is
// not found.
std::vector<InstructionWindow> find_instruction_windows(const std::string& elf);

// How many of `window`'s boundaries are among `reached`.
size_t boundaries_reached(const InstructionWindow& window, const std::set<uint32_t>& reached);

}  // namespace sweep
