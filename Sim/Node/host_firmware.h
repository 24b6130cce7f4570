// The node's firmware compiled for the PC and linked into this program: its vector table, its catch-all
// handler and its reset (the host build's reset runs SystemInit and the firmware's main). Its globals are
// the process's, in sections of their own (cmake/host_firmware_memory.ld), so that a reset of the chip
// restarts it in the same process with its memory as the start-up code leaves it on the chip. The simulated
// interrupt controller calls the handlers straight from the table.
//
// Only programs that link the firmware link this part (the node_firmware library); the simulator's own
// library knows nothing of the firmware.
#pragma once

#include <iterator>

#include "board.h"
#include "chip.h"
#include "firmware.h"

extern "C" {
typedef void (*vector_entry)(void);
// Word 0 the initial stack pointer, then the 15 system exceptions and the 86 interrupts of the STM32F411.
extern const vector_entry g_pfnVectors[102];
void Default_Handler(void);
void Reset_Handler(void);
}

namespace sim {

class HostFirmware final : public Firmware {
public:
    static constexpr int kVectorWords = static_cast<int>(std::size(g_pfnVectors));

    // Makes the firmware's vector table the chip's, so that an exception taken on `chip` runs the
    // firmware's handler. For tests that drive parts of the firmware on a bare chip.
    static void install_vectors(Chip& chip);

    // Calls the reset handler, which never returns while the node runs; the Stop that ends the run (or
    // a model's exception) is caught here and told as the run's end. A reset of the chip unwinds the
    // firmware to here (ResetSignal): the chip resets, the firmware's memory is set up again as its
    // start-up does on the chip (start_memory()), and the reset handler is called again.
    RunEnd run(Board& board, Picos limit) override;

    // The firmware's data and zeroed data as after the start-up on the chip, its static initialisers
    // run again; its .noinit words kept, or, after a power-on, zeroed.
    static void start_memory(ResetCause cause);
};

}  // namespace sim
