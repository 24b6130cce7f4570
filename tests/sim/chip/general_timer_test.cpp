// TIM2 and the PWM on pin A0 over time: period and high time as the pin shows them, the buffered
// compare value, the counter, flags and interrupt line, and the waveform record.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "pwm_board.h"

namespace {

using sim::Picos;
using sim::PwmShape;
using Edges = std::vector<std::pair<Picos, int>>;

constexpr Picos us = sim::microseconds(1);
constexpr Picos P = test::kPwmPeriod;

class Tim2PwmTest : public test::PwmBoardTest {
protected:
    Tim2PwmTest()
    {
        chip.tim2.on_shape_change([this](const PwmShape& s, Picos at) { shapes.emplace_back(s, at); });
    }
    // Starts the output as the node does; returns the moment the counter started.
    Picos start()
    {
        PWM_init(&PWM1);
        return shapes.empty() ? 0 : shapes.back().second;
    }
    Edges edges(Picos from, Picos to) const
    {
        Edges out;
        chip.tim2.edges(from, to, [&](Picos t, int level) { out.emplace_back(t, level); });
        return out;
    }
    // A0 as the firmware reads it at `t`.
    int pin_at(Picos t)
    {
        chip.run_until(t);
        // Another register first: samples taken one after the other must not look like a poll loop,
        // which the chip would speed through.
        uint32_t odr = GPIOA->ODR;
        (void)odr;
        return HAL_GPIO_ReadPin(GPIOA, GPIO_PIN_0) == GPIO_PIN_SET ? 1 : 0;
    }

    std::vector<std::pair<PwmShape, Picos>> shapes;
};

TEST_F(Tim2PwmTest, FirstPeriodIsLowThenHalfDutyOn20001UsPeriod)
{
    EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{0, 0}));  // not running
    Picos t0 = start();
    ASSERT_EQ(shapes.size(), 1U);
    EXPECT_EQ(shapes[0].first, (PwmShape{P, 0}));  // the board's compare value 0 is still in force
    PWM_valor(&PWM1, 50.0f);

    EXPECT_EQ(pin_at(t0 + us), 0);
    EXPECT_EQ(pin_at(t0 + P - us), 0);
    EXPECT_EQ(pin_at(t0 + P + us), 1);
    EXPECT_EQ(pin_at(t0 + P + 9999 * us), 1);
    EXPECT_EQ(pin_at(t0 + P + 10001 * us), 0);
    EXPECT_EQ(pin_at(t0 + 2 * P + us), 1);
    ASSERT_EQ(shapes.size(), 2U);
    EXPECT_EQ(shapes[1], std::make_pair(PwmShape{P, 10000 * us}, t0 + P));
    EXPECT_EQ(edges(t0, t0 + 3 * P),
              (Edges{{t0 + P, 1}, {t0 + P + 10000 * us, 0}, {t0 + 2 * P, 1}, {t0 + 2 * P + 10000 * us, 0}}));
}

TEST_F(Tim2PwmTest, EveryWholePercentGives200UsPerPercentOfHighTime)
{
    Picos t0 = start();
    for (uint32_t v = 0; v <= 100; ++v) {
        PWM_valor(&PWM1, static_cast<float>(v));
        Picos update = t0 + (v + 1) * P;
        chip.run_until(update + us);
        EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{P, 200 * v * us})) << v;
        Edges expected;
        if (v > 0) expected = {{update, 1}, {update + 200 * v * us, 0}};
        EXPECT_EQ(edges(update, update + P), expected) << v;
    }
}

TEST_F(Tim2PwmTest, NewCompareTakesEffectOnlyAtTheNextUpdate)
{
    Picos t0 = start();
    PWM_valor(&PWM1, 50.0f);
    chip.run_until(t0 + 2 * P + 12000 * us);  // past this period's falling edge
    PWM_valor(&PWM1, 75.0f);
    EXPECT_EQ(pin_at(t0 + 2 * P + 14000 * us), 0);  // not high again though CNT < 15000 now
    chip.run_until(t0 + 4 * P + 5000 * us);         // high, in the middle of a 75 % period
    PWM_valor(&PWM1, 25.0f);
    EXPECT_EQ(pin_at(t0 + 4 * P + 6000 * us), 1);  // not cut short at 5000
    chip.run_until(t0 + 6 * P);
    EXPECT_EQ(edges(t0 + 2 * P, t0 + 6 * P), (Edges{{t0 + 2 * P, 1},
                                                    {t0 + 2 * P + 10000 * us, 0},
                                                    {t0 + 3 * P, 1},
                                                    {t0 + 3 * P + 15000 * us, 0},
                                                    {t0 + 4 * P, 1},
                                                    {t0 + 4 * P + 15000 * us, 0},
                                                    {t0 + 5 * P, 1},
                                                    {t0 + 5 * P + 5000 * us, 0}}));
}

TEST_F(Tim2PwmTest, ConstantLevelsPolarityAndDisabledOutput)
{
    Picos t0 = start();
    PWM_valor(&PWM1, 65535.0f);  // compare 13107000, far above the reload value: constantly high
    chip.run_until(t0 + P + us);
    EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{P, P}));
    EXPECT_EQ(edges(t0, t0 + 4 * P), (Edges{{t0 + P, 1}}));

    PWM_valor(&PWM1, 25.0f);
    TIM2->CCER |= TIM_CCER_CC1P;  // active low: the high time is the rest of the period
    chip.run_until(t0 + 2 * P + us);
    EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{P, P - 5000 * us}));
    TIM2->CCER &= ~TIM_CCER_CC1E;
    EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{P, 0}));
    EXPECT_EQ(pin_at(t0 + 2 * P + 10 * us), 0);
}

TEST_F(Tim2PwmTest, CounterFlagsAndInterruptLineFollowTime)
{
    Picos t0 = start();
    chip.run_until(t0 + 1234 * us + us / 2);
    EXPECT_EQ(TIM2->CNT, 1234U);
    EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0U);
    chip.run_until(t0 + P + 7 * us + us / 2);
    EXPECT_EQ(TIM2->CNT, 7U);
    EXPECT_EQ(TIM2->SR & TIM_SR_UIF, TIM_SR_UIF);
    TIM2->SR = ~TIM_SR_UIF;  // cleared by writing 0; the other flags stay
    EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0U);

    TIM2->DIER = TIM_SR_UIF;  // UIE
    chip.run_until(t0 + 2 * P - us);
    EXPECT_FALSE(chip.exceptions().line(sim::soc::kTim2.irq()));
    chip.run_until(t0 + 2 * P + us);
    EXPECT_TRUE(chip.exceptions().line(sim::soc::kTim2.irq()));
    TIM2->SR = 0;
    EXPECT_FALSE(chip.exceptions().line(sim::soc::kTim2.irq()));

    TIM2->CR1 &= ~TIM_CR1_CEN;  // stopped: the count stands
    uint32_t stopped = TIM2->CNT;
    chip.run_until(chip.now() + 5 * P);
    EXPECT_EQ(TIM2->CNT, stopped);
    EXPECT_EQ(chip.tim2.pwm_shape().period, 0U);
}

TEST_F(Tim2PwmTest, PollingTheCounterOrTheUpdateFlagWaitsTheRightTime)
{
    Picos t0 = start();
    uint64_t accesses = chip.access_count();
    while (TIM2->CNT < 15000U) {}
    EXPECT_GE(chip.now(), t0 + 15000 * us);
    EXPECT_LE(chip.now(), t0 + 15000 * us + 15000 * us / 16 + us);
    while ((TIM2->SR & TIM_SR_UIF) == 0U) {}
    EXPECT_GE(chip.now(), t0 + P);
    EXPECT_LE(chip.now(), t0 + P + P / 16 + us);
    EXPECT_LT(chip.access_count() - accesses, 4000U);  // accelerated, not 20 ms of 40 ns reads
}

TEST_F(Tim2PwmTest, UpdateControlsUnbufferedReloadAndClockChange)
{
    Picos t0 = start();
    TIM2->CR1 |= TIM_CR1_URS;
    TIM2->EGR = TIM_EGR_UG;  // counter restarts; with URS no flag
    EXPECT_EQ(TIM2->CNT, 0U);
    EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0U);

    TIM2->CR1 |= TIM_CR1_UDIS;  // overflows load nothing while updates are disabled
    PWM_valor(&PWM1, 50.0f);
    chip.run_until(t0 + 3 * P);
    EXPECT_EQ(chip.tim2.active_compare(0), 0U);
    EXPECT_EQ(TIM2->SR & TIM_SR_UIF, 0U);
    TIM2->CR1 &= ~TIM_CR1_UDIS;
    chip.run_until(t0 + 5 * P);
    EXPECT_EQ(chip.tim2.active_compare(0), 10000U);

    TIM2->CR1 &= ~TIM_CR1_ARPE;  // unbuffered: the new period is in force at once
    TIM2->ARR = 39999;
    EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{40000 * us, 10000 * us}));
    chip.clocks().set(sim::Clocks{
        .sysclk = 100'000'000, .hclk = 100'000'000, .pclk1 = 25'000'000, .pclk2 = 100'000'000, .tim_apb1 = 50'000'000});
    EXPECT_EQ(chip.tim2.tick(), 2 * us);  // 50 MHz / 100
    EXPECT_EQ(chip.tim2.pwm_shape(), (PwmShape{80000 * us, 20000 * us}));
}

TEST_F(Tim2PwmTest, UnmodelledRegistersAndModesAreReported)
{
    chip.log().keep(true);
    uint32_t rcr = TIM2->RCR;
    (void)rcr;
    TIM2->CR1 |= TIM_CR1_OPM;
    TIM2->CR1 |= TIM_CR1_OPM;
    EXPECT_EQ(chip.log().kept(), (std::vector<std::string>{"TIM2: read of unmodelled offset 0x30",
                                                           "TIM2: one-pulse mode is not modelled"}));
}

}  // namespace
