// The platform's timer operations at register level, with TIM2 set up the way the board does it.
#include <gtest/gtest.h>

#include "bus_spy.h"
#include "pwm_board.h"

namespace {

int g_pwm_hook_calls = 0;

}  // namespace

// The board keeps the platform's empty PWM hook; counting its calls here shows when the platform calls it.
void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef*)
{
    ++g_pwm_hook_calls;
}

namespace {

class HalTimTest : public test::SimTest {
protected:
    HalTimTest() { g_pwm_hook_calls = 0; }
};

TEST_F(HalTimTest, TimeBaseLoadsPrescalerAndReloadAtOnceAndLeavesNoFlag)
{
    EXPECT_EQ(HAL_TIM_Base_Init(nullptr), HAL_ERROR);
    test::configure_tim2_as_board();

    EXPECT_EQ(TIM2->CR1, TIM_CR1_ARPE);  // counter stopped until the PWM is started
    EXPECT_EQ(TIM2->PSC, 99U);
    EXPECT_EQ(TIM2->ARR, 20000U);
    EXPECT_EQ(chip.tim2.active_prescaler(), 99U);  // the update event loaded the buffered values
    EXPECT_EQ(chip.tim2.active_reload(), 20000U);
    EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0U);
    EXPECT_EQ(TIM2->SMCR, 0U);
    EXPECT_EQ(TIM2->CCMR1, TIM_OCMODE_PWM1 | TIM_CCMR1_OC1PE);
    EXPECT_EQ(TIM2->CCER, 0U);  // output not yet enabled
    EXPECT_EQ(TIM2->CCR1, 0U);
    EXPECT_EQ(htim2.State, HAL_TIM_STATE_READY);
    for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(htim2.ChannelState[ch], HAL_TIM_CHANNEL_STATE_READY);
    EXPECT_EQ(g_pwm_hook_calls, 0);  // the handle was already initialised by the time-base set-up
}

TEST_F(HalTimTest, PwmHookRunsOnlyForAHandleInStateReset)
{
    htim2.Instance = TIM2;
    htim2.Init.Period = 100;
    EXPECT_EQ(HAL_TIM_PWM_Init(&htim2), HAL_OK);
    EXPECT_EQ(HAL_TIM_PWM_Init(&htim2), HAL_OK);
    EXPECT_EQ(g_pwm_hook_calls, 1);
}

TEST_F(HalTimTest, ChannelConfigDisablesTheOutputAndWritesModePolarityCompare)
{
    test::configure_tim2_as_board();
    TIM2->CCER = TIM_CCER_CC1E | (TIM_CCER_CC1E << 4);
    TIM2->SMCR = TIM_SLAVEMODE_TRIGGER | (7U << 4);

    TIM_ClockConfigTypeDef clock{};
    clock.ClockSource = TIM_CLOCKSOURCE_INTERNAL;
    EXPECT_EQ(HAL_TIM_ConfigClockSource(&htim2, &clock), HAL_OK);
    EXPECT_EQ(TIM2->SMCR, 0U);  // the counter runs on the timer clock alone
    clock.ClockSource = 0x2000U;
    EXPECT_EQ(HAL_TIM_ConfigClockSource(&htim2, &clock), HAL_ERROR);
    TIM_MasterConfigTypeDef master{TIM_TRGO_UPDATE, TIM_MASTERSLAVEMODE_ENABLE};
    EXPECT_EQ(HAL_TIMEx_MasterConfigSynchronization(&htim2, &master), HAL_OK);
    EXPECT_EQ(TIM2->CR2, TIM_TRGO_UPDATE);
    EXPECT_EQ(TIM2->SMCR, TIM_SMCR_MSM);

    TIM_OC_InitTypeDef oc{TIM_OCMODE_PWM2, 1234, TIM_OCPOLARITY_LOW, 0, TIM_OCFAST_ENABLE, 0, 0};
    EXPECT_EQ(HAL_TIM_PWM_ConfigChannel(&htim2, &oc, TIM_CHANNEL_2), HAL_OK);
    EXPECT_EQ(TIM2->CCMR1 >> 8, TIM_OCMODE_PWM2 | TIM_CCMR1_OC1PE | TIM_CCMR1_OC1FE);
    EXPECT_EQ(TIM2->CCR2, 1234U);
    EXPECT_EQ(chip.tim2.active_compare(1), 1234U);                // written before the preload was switched on
    EXPECT_EQ(TIM2->CCER, TIM_CCER_CC1E | (TIM_CCER_CC1P << 4));  // channel 2 off, active low
    EXPECT_EQ(HAL_TIM_PWM_ConfigChannel(&htim2, &oc, 3U), HAL_ERROR);
}

TEST_F(HalTimTest, SecondStartFailsAndChangesNothing)
{
    test::configure_tim2_as_board();
    EXPECT_EQ(HAL_TIM_PWM_Start(&htim2, TIM_CHANNEL_1), HAL_OK);
    EXPECT_EQ(htim2.ChannelState[0], HAL_TIM_CHANNEL_STATE_BUSY);
    EXPECT_EQ(TIM2->CCER, TIM_CCER_CC1E);
    EXPECT_EQ(TIM2->CR1, TIM_CR1_ARPE | TIM_CR1_CEN);

    test::BusSpy spy(chip);
    EXPECT_EQ(HAL_TIM_PWM_Start(&htim2, TIM_CHANNEL_1), HAL_ERROR);
    EXPECT_EQ(HAL_TIM_PWM_Start(&htim2, 5U), HAL_ERROR);  // not a channel
    EXPECT_TRUE(spy.writes().empty());
    EXPECT_EQ(htim2.ChannelState[0], HAL_TIM_CHANNEL_STATE_BUSY);
}

TEST_F(HalTimTest, StartInTriggerSlaveModeLeavesTheCounterToTheTrigger)
{
    test::configure_tim2_as_board();
    TIM2->SMCR = TIM_SLAVEMODE_TRIGGER;
    EXPECT_EQ(HAL_TIM_PWM_Start(&htim2, TIM_CHANNEL_1), HAL_OK);
    EXPECT_EQ(TIM2->CCER, TIM_CCER_CC1E);
    EXPECT_EQ(TIM2->CR1 & TIM_CR1_CEN, 0U);
}

}  // namespace
