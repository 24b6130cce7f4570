// The board's clocks once the firmware has set them up: the PLL at 100 MHz for SYSCLK, HCLK and PCLK2,
// APB1 divided by 2 (PCLK1 50 MHz), so that TIM2 runs at twice PCLK1.
#pragma once

#include "chip.h"
#include "clock_tree.h"
#include "system_stm32f4xx.h"

namespace test {

constexpr sim::Clocks kBoardClocks{
    .sysclk = 100'000'000, .hclk = 100'000'000, .pclk1 = 50'000'000, .pclk2 = 100'000'000, .tim_apb1 = 100'000'000};

// The chip's clocks as the board's clock set-up leaves them, without running it.
inline void board_clocks(sim::Chip& chip)
{
    chip.clocks().set(kBoardClocks);
}

// The same, and the firmware's record of the core clock that the set-up writes with it.
inline void run_core_at_100_mhz(sim::Chip& chip)
{
    board_clocks(chip);
    SystemCoreClock = 100'000'000U;
}

}  // namespace test
