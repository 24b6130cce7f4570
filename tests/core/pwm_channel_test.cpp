// The PWM channel record and the compare value PWM_valor computes, step by step in single precision.
#include <gtest/gtest.h>

#include "pwm_board.h"

namespace {

class PwmChannelTest : public test::PwmBoardTest {};

// ARR * valor / 100 with every step rounded to float (the stores force it whatever the host's FPU).
uint32_t single_precision(uint32_t arr, float valor)
{
    volatile float periodo = static_cast<float>(arr);
    volatile float producto = periodo * valor;
    volatile float compara = producto / 100.0f;
    return static_cast<uint32_t>(compara);
}

TEST_F(PwmChannelTest, RecordNamesTim2Channel1AndInitStartsIt)
{
    EXPECT_EQ(PWM1.htim, &htim2);
    EXPECT_EQ(PWM1.ccr, &TIM2->CCR1);
    EXPECT_EQ(PWM1.channel, TIM_CHANNEL_1);
    EXPECT_EQ(escala, 100.0f);
    PWM_init(&PWM1);
    EXPECT_EQ(htim2.ChannelState[0], HAL_TIM_CHANNEL_STATE_BUSY);
    EXPECT_EQ(TIM2->CR1 & TIM_CR1_CEN, TIM_CR1_CEN);
    EXPECT_EQ(TIM2->CCER & TIM_CCER_CC1E, TIM_CCER_CC1E);
}

TEST_F(PwmChannelTest, StoresTheTruncatedSinglePrecisionResult)
{
    const std::pair<float, uint32_t> cases[] = {
        {33.0f, 6600},   {12.5f, 2500}, {0.004f, 0},  {65535.0f, 13107000},
        {100.0f, 20000}, {0.0f, 0},     {3.33f, 666},  // 66599.998 rounds to the float 66600 before the division; wider arithmetic gives 665
        {0.005f, 1},
    };
    for (auto [valor, expected] : cases) {
        PWM_valor(&PWM1, valor);
        EXPECT_EQ(TIM2->CCR1, expected) << valor;
    }
    for (uint32_t v = 0; v <= 100; ++v) {
        PWM_valor(&PWM1, static_cast<float>(v));
        EXPECT_EQ(TIM2->CCR1, 200U * v) << v;
    }
    // Every value the dashboard can send (the low 16 bits of its number).
    for (uint32_t v = 0; v <= 65535; ++v) {
        PWM_valor(&PWM1, static_cast<float>(v));
        ASSERT_EQ(TIM2->CCR1, single_precision(20000, static_cast<float>(v))) << v;
    }
}

TEST_F(PwmChannelTest, ValuesWithoutAnUnsignedResultSaturateAsTheFpuDoes)
{
    PWM_valor(&PWM1, -5.0f);
    EXPECT_EQ(TIM2->CCR1, 0U);
    PWM_valor(&PWM1, __builtin_nanf(""));
    EXPECT_EQ(TIM2->CCR1, 0U);
    PWM_valor(&PWM1, 1e30f);
    EXPECT_EQ(TIM2->CCR1, 0xFFFFFFFFU);
}

TEST_F(PwmChannelTest, ReadsTheReloadValueAtTheTimeOfTheCall)
{
    TIM2->ARR = 999;
    PWM_valor(&PWM1, 50.0f);
    EXPECT_EQ(TIM2->CCR1, 499U);  // 499.5 truncated
}

}  // namespace
