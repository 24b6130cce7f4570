// The board brought up as main does it: its first seven calls, in their order.
#pragma once

#include "main.h"

namespace test {

// `step` tells how far it got: the number (1 to 7) of the call that runs or stopped the node, 8 once
// all seven have returned.
inline void bring_up_board_as_main(int& step)
{
    step = 1;
    HAL_Init();
    step = 2;
    SystemClock_Config();
    step = 3;
    MX_GPIO_Init();
    step = 4;
    MX_DMA_Init();
    step = 5;
    MX_USART1_UART_Init();
    step = 6;
    MX_USART2_UART_Init();
    step = 7;
    MX_TIM2_Init();
    step = 8;
}

inline void bring_up_board_as_main()
{
    int step = 0;
    bring_up_board_as_main(step);
}

}  // namespace test
