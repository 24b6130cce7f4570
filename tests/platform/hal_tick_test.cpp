// The platform's start, its millisecond tick and delay, and the interrupt controller operations, run
// against the simulated core with the tick coming from real SysTick interrupts.
#include <gtest/gtest.h>

#include "stm32f4xx_hal.h"
#include "system_stm32f4xx.h"
#include "tick_vector_table.h"

namespace {

using sim::Picos;

class TickTest : public test::TickedSimTest {
protected:
    // How long HAL_Delay(ms) takes in virtual time.
    Picos timed_delay(uint32_t ms)
    {
        Picos start = chip.now();
        HAL_Delay(ms);
        return chip.now() - start;
    }
};

// The delay ends in the tick interrupt that completes it, plus that interrupt's entry and return and the
// loop's next read of the count: a few microseconds at most.
constexpr Picos kTickSlack = sim::microseconds(5);

TEST_F(TickTest, InitTurnsOnCachesGroupingAndTheTickAt16MHz)
{
    EXPECT_EQ(uwTickPrio, 16U);  // not yet a valid priority
    EXPECT_EQ(HAL_Init(), HAL_OK);

    const uint32_t art = FLASH_ACR_ICEN | FLASH_ACR_DCEN | FLASH_ACR_PRFTEN;
    EXPECT_EQ(FLASH->ACR & art, art);
    EXPECT_EQ(NVIC_GetPriorityGrouping(), 3U);
    EXPECT_EQ(chip.exceptions().prigroup(), 3U);  // the key made the AIRCR write take
    EXPECT_EQ(SysTick->LOAD, 15999U);
    EXPECT_EQ(SysTick->CTRL & 7U, 7U);  // processor clock, interrupt, enabled
    EXPECT_EQ(SCB->SHPR[11], 0xF0U);
    EXPECT_EQ(uwTickPrio, 15U);

    chip.run_until(chip.now() + sim::milliseconds(10));
    EXPECT_EQ(HAL_GetTick(), 10U);
}

TEST_F(TickTest, DelayLastsMoreThanAskedAndAtMostOneTickMore)
{
    HAL_Init();
    // Whatever the phase of the tick when the delay starts.
    for (Picos phase : {Picos{0}, sim::microseconds(500), sim::microseconds(990)}) {
        chip.run_until(chip.now() + phase);
        Picos took = timed_delay(800);
        EXPECT_GT(took, sim::milliseconds(800)) << "phase " << phase;
        EXPECT_LE(took, sim::milliseconds(801) + kTickSlack) << "phase " << phase;

        took = timed_delay(0);
        EXPECT_GT(took, Picos{0});
        EXPECT_LE(took, sim::milliseconds(1) + kTickSlack) << "phase " << phase;
    }
}

TEST_F(TickTest, DelayAcrossTheWrapOfTheTickCount)
{
    HAL_Init();
    uwTick = 0xFFFFFF00U;  // 256 ms before the count wraps
    Picos took = timed_delay(800);
    EXPECT_GT(took, sim::milliseconds(800));
    EXPECT_LE(took, sim::milliseconds(801) + kTickSlack);
    EXPECT_LT(HAL_GetTick(), 1000U);
}

TEST_F(TickTest, MaxDelayDoesNotEnd)
{
    HAL_Init();
    chip.set_time_limit(chip.now() + sim::seconds(2));
    EXPECT_THROW(HAL_Delay(HAL_MAX_DELAY), sim::Stop);
    EXPECT_GE(HAL_GetTick(), 1999U);
}

TEST_F(TickTest, InitTickRefusesAPriorityAbove15AndKeepsTheTickLowest)
{
    HAL_Init();
    EXPECT_EQ(HAL_InitTick(16U), HAL_ERROR);
    EXPECT_EQ(SCB->SHPR[11], 0xF0U);
    EXPECT_EQ(uwTickPrio, 15U);
    EXPECT_EQ(SysTick->CTRL & 7U, 7U);  // the tick itself was remade and runs

    EXPECT_EQ(HAL_InitTick(3U), HAL_OK);
    EXPECT_EQ(SCB->SHPR[11], 0x30U);
    EXPECT_EQ(uwTickPrio, 3U);
}

TEST_F(TickTest, ReloadMustFitTheTwentyFourBitCounter)
{
    EXPECT_EQ(HAL_SYSTICK_Config(0x1000000U), 0U);
    EXPECT_EQ(SysTick->LOAD, 0xFFFFFFU);
    EXPECT_EQ(HAL_SYSTICK_Config(0x1000001U), 1U);
    EXPECT_EQ(HAL_SYSTICK_Config(0U), 1U);
    EXPECT_EQ(SysTick->LOAD, 0xFFFFFFU);  // refused calls change nothing

    // A 100 ms tick at 200 MHz needs 20 000 000 counts.
    uwTickFreq = HAL_TICK_FREQ_10HZ;
    SystemCoreClock = 200000000U;
    EXPECT_EQ(HAL_InitTick(TICK_INT_PRIORITY), HAL_ERROR);
    EXPECT_EQ(uwTickPrio, 16U);
}

TEST_F(TickTest, PriorityBytesFollowTheGrouping)
{
    HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);
    HAL_NVIC_SetPriority(DMA2_Stream2_IRQn, 0, 0);
    HAL_NVIC_SetPriority(USART1_IRQn, 5, 0);
    HAL_NVIC_SetPriority(TIM2_IRQn, 15, 3);  // no sub-priority bits: the 3 is dropped
    EXPECT_EQ(NVIC->IP[58], 0x00U);
    EXPECT_EQ(NVIC->IP[37], 0x50U);
    EXPECT_EQ(NVIC->IP[28], 0xF0U);

    // System handlers live in the SCB: PendSV is exception 14 (byte 10), MemManage exception 4 (byte 0).
    HAL_NVIC_SetPriority(PendSV_IRQn, 7, 0);
    HAL_NVIC_SetPriority(MemoryManagement_IRQn, 1, 0);
    HAL_NVIC_SetPriority(SysTick_IRQn, 15, 0);
    EXPECT_EQ(SCB->SHPR[10], 0x70U);
    EXPECT_EQ(SCB->SHPR[0], 0x10U);
    EXPECT_EQ(SCB->SHPR[11], 0xF0U);

    HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_2);  // two bits each
    EXPECT_EQ(chip.exceptions().prigroup(), 5U);
    HAL_NVIC_SetPriority(USART1_IRQn, 2, 1);
    EXPECT_EQ(NVIC->IP[37], 0x90U);

    HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_0);  // all four bits sub-priority
    HAL_NVIC_SetPriority(USART1_IRQn, 3, 5);
    EXPECT_EQ(NVIC->IP[37], 0x50U);
}

TEST_F(TickTest, EnableAndDisableTouchOnlyTheirLine)
{
    HAL_NVIC_EnableIRQ(USART1_IRQn);        // IRQ 37: word 1, bit 5
    HAL_NVIC_EnableIRQ(DMA2_Stream2_IRQn);  // IRQ 58: word 1, bit 26
    EXPECT_EQ(NVIC->ISER[1], (1U << 5) | (1U << 26));
    HAL_NVIC_DisableIRQ(USART1_IRQn);
    EXPECT_EQ(NVIC->ISER[1], 1U << 26);

    chip.log().keep(true);
    HAL_NVIC_EnableIRQ(SysTick_IRQn);  // a system exception has no enable bit here
    EXPECT_EQ(NVIC->ISER[0], 0U);
    EXPECT_EQ(NVIC->ISER[1], 1U << 26);
    EXPECT_TRUE(chip.log().kept().empty());
}

}  // namespace
