#include "host_firmware.h"

#include <exception>

namespace sim {

void HostFirmware::install_vectors(Chip& chip)
{
    chip.set_vector_table(reinterpret_cast<const Chip::Handler*>(g_pfnVectors), kVectorWords, Default_Handler);
}

RunEnd HostFirmware::run(Board& board, Picos limit)
{
    Chip& chip = board.chip;
    install_vectors(chip);
    chip.set_time_limit(limit);
    try {
        Reset_Handler();
        // The firmware's main never returns; should it, the core would run off into nothing.
        return {RunEnd::Kind::Halt, "main returned", chip.now()};
    } catch (const Stop& stop) {
        return end_of(stop);
    } catch (const std::exception& error) {
        return {RunEnd::Kind::Failure, error.what(), chip.now()};
    }
}

}  // namespace sim
