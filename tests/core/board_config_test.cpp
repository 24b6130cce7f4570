// The board's bring-up as main runs it: the clock tree, pins, DMA, serial ports and timer it leaves
// behind, the LED that never drives high, and the two ways a failed set-up stops the node.
#include <gtest/gtest.h>

#include <vector>

#include "board_bring_up.h"
#include "main.h"
#include "serial_bench.h"
#include "sim_fixture.h"
#include "system_stm32f4xx.h"

namespace {

using sim::Picos;

// How far the last bring-up got (see bring_up_board_as_main).
int g_step = 0;
void bring_up_board()
{
    test::bring_up_board_as_main(g_step);
}

// Runs the bring-up until the node stops; returns the stop.
sim::Stop bring_up_until_stop()
{
    try {
        bring_up_board();
    } catch (const sim::Stop& stop) {
        return stop;
    }
    ADD_FAILURE() << "the bring-up did not stop";
    return sim::Stop(sim::Stop::Kind::TimeLimit, "", 0);
}

class BoardConfigTest : public test::SimTest {};

TEST_F(BoardConfigTest, ClockTreeTickAndBusDividers)
{
    HAL_Init();
    EXPECT_EQ(SysTick->LOAD, 15999U);  // 1 ms at the 16 MHz the chip starts on
    EXPECT_EQ(SCB->SHPR[11], 0xF0U);   // tick at priority 15
    SystemClock_Config();
    EXPECT_EQ(RCC->PLLCFGR, 0x0440180CU);
    EXPECT_EQ(SysTick->LOAD, 99999U);
    EXPECT_EQ(SystemCoreClock, 100000000U);
    EXPECT_EQ(FLASH->ACR & FLASH_ACR_LATENCY, 3U);
    EXPECT_EQ(RCC->CFGR & (RCC_CFGR_HPRE | RCC_CFGR_PPRE1 | RCC_CFGR_PPRE2), RCC_HCLK_DIV2);  // AHB 1, APB1 2, APB2 1
    EXPECT_EQ((RCC->CFGR & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos, RCC_SYSCLKSOURCE_PLLCLK);
    EXPECT_EQ(PWR->CR & PWR_CR_VOS, PWR_CR_VOS);  // scale 1
}

TEST_F(BoardConfigTest, PeripheralsAsTheBoardLeavesThem)
{
    bring_up_board();
    ASSERT_EQ(g_step, 8);

    // Serial ports: 9600 baud 8N1 from their own bus clocks, transmitter and receiver on, nothing else.
    EXPECT_EQ(USART1->BRR, 0x28B1U);
    EXPECT_EQ(USART2->BRR, 0x1458U);
    for (USART_TypeDef* port : {USART1, USART2}) {
        EXPECT_EQ(port->CR1, USART_CR1_UE | USART_CR1_TE | USART_CR1_RE);
        EXPECT_EQ(port->CR2, 0U);
        EXPECT_EQ(port->CR3, 0U);
    }
    EXPECT_EQ(huart1.gState, HAL_UART_STATE_READY);
    EXPECT_EQ(huart2.RxState, HAL_UART_STATE_READY);

    // The receive stream, linked both ways, and the two interrupts at priority 0.
    EXPECT_EQ(huart1.hdmarx, &hdma_usart1_rx);
    EXPECT_EQ(hdma_usart1_rx.Parent, &huart1);
    EXPECT_EQ(huart2.hdmarx, nullptr);
    EXPECT_EQ(DMA2_Stream2->CR, DMA_CHANNEL_4 | DMA_MINC_ENABLE);
    EXPECT_EQ(hdma_usart1_rx.State, HAL_DMA_STATE_READY);
    for (int irq : {USART1_IRQn, DMA2_Stream2_IRQn}) {
        EXPECT_TRUE(chip.exceptions().enabled(16 + irq)) << irq;
        EXPECT_EQ(NVIC->IP[irq], 0U) << irq;
    }
    EXPECT_FALSE(chip.exceptions().enabled(16 + USART2_IRQn));

    // TIM2 configured, not running.
    EXPECT_EQ(TIM2->PSC, 99U);
    EXPECT_EQ(TIM2->ARR, 20000U);
    EXPECT_EQ(TIM2->CR1, TIM_CR1_ARPE);

    // Pins: the ports' TX/RX in AF7 at very high speed, A0 in AF1, the LED an output, the switch
    // pulled down, the 1-Wire line a floating input.
    sim::GpioPort& a = chip.gpioa;
    for (int pin : {2, 3, 9, 10}) {
        EXPECT_EQ(a.mode(pin), 2U) << pin;
        EXPECT_EQ(a.alternate(pin), 7U) << pin;
        EXPECT_EQ((a.ospeedr() >> (2 * pin)) & 3U, 3U) << pin;
    }
    EXPECT_EQ(a.mode(0), 2U);
    EXPECT_EQ(a.alternate(0), 1U);
    EXPECT_EQ(chip.gpioc.mode(13), 1U);
    EXPECT_EQ(chip.gpiob.mode(12), 0U);
    EXPECT_EQ((chip.gpiob.pupdr() >> 24) & 3U, 2U);
    EXPECT_EQ(chip.gpiob.mode(13), 0U);
    EXPECT_EQ((chip.gpiob.pupdr() >> 26) & 3U, 0U);

    // Every clock the board uses, and no other.
    EXPECT_EQ(RCC->AHB1ENR, RCC_AHB1ENR_GPIOAEN | RCC_AHB1ENR_GPIOBEN | RCC_AHB1ENR_GPIOCEN | RCC_AHB1ENR_GPIOHEN |
                                RCC_AHB1ENR_DMA2EN);
    EXPECT_EQ(RCC->APB1ENR, RCC_APB1ENR_TIM2EN | RCC_APB1ENR_USART2EN | RCC_APB1ENR_PWREN);
    EXPECT_EQ(RCC->APB2ENR, RCC_APB2ENR_USART1EN | RCC_APB2ENR_SYSCFGEN);
}

TEST_F(BoardConfigTest, LedPinNeverDrivesHigh)
{
    // A latch left at 1 (as after a warm restart) must be cleared before C13 becomes an output.
    GPIOC->ODR = 1U << 13;
    std::vector<int> levels;
    chip.gpioc.on_level_change([&levels](char, int pin, int level, Picos) {
        if (pin == 13) levels.push_back(level);
    });
    bring_up_board();
    EXPECT_EQ(chip.gpioc.mode(13), 1U);
    EXPECT_EQ(chip.gpioc.level(13), 0);
    for (int level : levels) EXPECT_EQ(level, 0);
}

TEST_F(BoardConfigTest, FailedStreamSetUpStopsInsideUsart1SetUp)
{
    sim::SerialPeer dashboard{chip, chip.usart1};
    sim::SerialPeer listener{chip, chip.usart2};
    chip.dma2.set_stuck_enabled(2, true);  // the stream never reports itself disabled
    const sim::Stop stop = bring_up_until_stop();
    EXPECT_TRUE(stop.halted());
    EXPECT_NE(stop.reason().find("PRIMASK"), std::string::npos) << stop.reason();
    EXPECT_EQ(g_step, 5);
    EXPECT_EQ(hdma_usart1_rx.State, HAL_DMA_STATE_TIMEOUT);
    EXPECT_EQ(USART2->CR1, 0U);
    EXPECT_EQ(USART2->BRR, 0U);
    EXPECT_EQ(TIM2->PSC, 0U);
    EXPECT_EQ(RCC->APB1ENR & (RCC_APB1ENR_USART2EN | RCC_APB1ENR_TIM2EN), 0U);
    EXPECT_TRUE(dashboard.received().empty());
    EXPECT_TRUE(listener.received().empty());
}

// A board whose crystal does not start.
class BoardWithoutCrystalTest : public ::testing::Test {
protected:
    BoardWithoutCrystalTest()
    {
        sim::HostFirmware::install_vectors(chip);
        test::reset_firmware_globals();
    }
    sim::Chip chip{sim::ChipConfig{false}};
};

TEST_F(BoardWithoutCrystalTest, NodeStopsAboutOneHundredMillisecondsAfterResetHavingSentNothing)
{
    sim::SerialPeer dashboard{chip, chip.usart1};
    sim::SerialPeer listener{chip, chip.usart2};
    const sim::Stop stop = bring_up_until_stop();
    EXPECT_TRUE(stop.halted());
    EXPECT_NE(stop.reason().find("PRIMASK"), std::string::npos) << stop.reason();
    EXPECT_EQ(g_step, 2);
    // The tick count stops with the interrupts masked: it tells when the node stopped.
    EXPECT_GE(uwTick, 100U);
    EXPECT_LE(uwTick, 102U);
    EXPECT_GE(stop.at(), sim::milliseconds(100));
    EXPECT_LT(stop.at(), sim::milliseconds(103));
    EXPECT_EQ(SystemCoreClock, 16000000U);  // still on the internal oscillator
    EXPECT_TRUE(dashboard.received().empty());
    EXPECT_TRUE(listener.received().empty());
}

}  // namespace
