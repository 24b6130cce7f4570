// The firmware's vector table with the SysTick entry calling HAL_IncTick, so that a test of the platform
// has its millisecond tick running from real SysTick interrupts whatever the firmware's own handler is.
#pragma once

#include <algorithm>
#include <array>

#include "chip.h"
#include "sim_fixture.h"
#include "stm32f4xx_hal.h"

namespace test {

inline void tick_handler()
{
    HAL_IncTick();
}

class TickVectorTable {
public:
    explicit TickVectorTable(sim::Chip& chip)
    {
        std::copy(g_pfnVectors, g_pfnVectors + table_.size(), table_.begin());
        table_[15] = tick_handler;
        chip.set_vector_table(table_.data(), static_cast<int>(table_.size()), Default_Handler);
    }

private:
    std::array<sim::Chip::Handler, sim::HostFirmware::kVectorWords> table_{};
};

// A fresh chip with the tick routed to HAL_IncTick and the platform's globals at their reset values.
class TickedSimTest : public SimTest {
protected:
    TickVectorTable vectors{chip};
};

}  // namespace test
