// A chip at the board's 100 MHz with the tick running and the 1-Wire line on B13 (its 4.7 kOhm pull-up
// and nothing else yet): the bench for the delay, pin-direction, 1-Wire and thermometer tests.
#pragma once

#include "board_clocks.h"
#include "chip.h"
#include "delays.h"
#include "onewire_bus.h"
#include "stm32f4xx_hal.h"
#include "system_stm32f4xx.h"
#include "tick_vector_table.h"

namespace test {

class OneWireBench : public TickedSimTest {
protected:
    OneWireBench()
    {
        run_core_at_100_mhz(chip);
        HAL_InitTick(15);
        delay_us_dwt_init();
        bus.attach_to(chip.gpiob, 13);
    }

    sim::Picos cycles(uint64_t n) const { return sim::cycles_to_picos(sim::Cycles(n), sim::period_of(100'000'000)); }

    sim::OneWireBus bus{chip.scheduler()};
};

}  // namespace test
