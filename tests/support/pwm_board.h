// TIM2 and pin A0 set up the way the board does it (1 us tick from a 100 MHz timer clock, auto-reload
// 20000 buffered, channel 1 in PWM mode 1 with compare preload, compare 0), with the counter stopped.
#pragma once

#include <gtest/gtest.h>

#include "PWMB.h"
#include "main.h"
#include "sim_fixture.h"

namespace test {

constexpr sim::Picos kPwmPeriod = sim::microseconds(20001);

inline void run_board_clocks(sim::Chip& chip)
{
    // PLL at 100 MHz, APB1 divided by 2: TIM2 runs at twice PCLK1.
    chip.clocks().set(sim::Clocks{100'000'000, 100'000'000, 50'000'000, 100'000'000, 100'000'000});
}

inline void configure_tim2_as_board()
{
    htim2.Instance = TIM2;
    htim2.Init.Prescaler = 99;
    htim2.Init.CounterMode = TIM_COUNTERMODE_UP;
    htim2.Init.Period = 20000;
    htim2.Init.ClockDivision = TIM_CLOCKDIVISION_DIV1;
    htim2.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
    ASSERT_EQ(HAL_TIM_Base_Init(&htim2), HAL_OK);
    TIM_ClockConfigTypeDef clock{};
    clock.ClockSource = TIM_CLOCKSOURCE_INTERNAL;
    ASSERT_EQ(HAL_TIM_ConfigClockSource(&htim2, &clock), HAL_OK);
    ASSERT_EQ(HAL_TIM_PWM_Init(&htim2), HAL_OK);
    TIM_MasterConfigTypeDef master{};
    ASSERT_EQ(HAL_TIMEx_MasterConfigSynchronization(&htim2, &master), HAL_OK);
    TIM_OC_InitTypeDef oc{};
    oc.OCMode = TIM_OCMODE_PWM1;
    ASSERT_EQ(HAL_TIM_PWM_ConfigChannel(&htim2, &oc, TIM_CHANNEL_1), HAL_OK);
    GPIO_InitTypeDef pin{GPIO_PIN_0, GPIO_MODE_AF_PP, GPIO_NOPULL, GPIO_SPEED_FREQ_LOW, GPIO_AF1_TIM2};
    HAL_GPIO_Init(GPIOA, &pin);
}

class PwmBoardTest : public SimTest {
protected:
    PwmBoardTest()
    {
        run_board_clocks(chip);
        configure_tim2_as_board();
    }
};

}  // namespace test
