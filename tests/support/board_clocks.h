// The board's clocks once the firmware has set them up: the PLL at 100 MHz for SYSCLK, HCLK and PCLK2,
// APB1 divided by 2 (PCLK1 50 MHz), so that TIM2 runs at twice PCLK1.
#pragma once

#include "clock_tree.h"

namespace test {

constexpr sim::Clocks kBoardClocks{
    .sysclk = 100'000'000, .hclk = 100'000'000, .pclk1 = 50'000'000, .pclk2 = 100'000'000, .tim_apb1 = 100'000'000};

}  // namespace test
