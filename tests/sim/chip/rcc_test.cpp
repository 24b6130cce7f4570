// The simulated RCC, PWR, flash interface and SYSCFG as the firmware sees them through its registers:
// reset values, oscillator and PLL timing, the switch that waits for a ready source, the clocks pushed
// to the rest of the chip, and log lines for what is not modelled.
#include <gtest/gtest.h>

#include <string>

#include "sim_fixture.h"
#include "stm32f4xx_hal.h"

namespace {

using sim::Picos;

class ClockModelTest : public test::SimTest {
protected:
    bool log_mentions(const std::string& text)
    {
        for (const std::string& line : chip.log().kept())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    void wait(Picos t) { chip.run_until(chip.now() + t); }
};

TEST_F(ClockModelTest, ResetValues)
{
    EXPECT_EQ(RCC->CR & 0xFFFFU, 0x0083U);  // HSI on and ready, trim 16
    EXPECT_EQ(RCC->PLLCFGR, 0x24003010U);
    EXPECT_EQ(RCC->CFGR, 0U);
    EXPECT_EQ(RCC->AHB1ENR, 0U);
    EXPECT_EQ(PWR->CR, 0x8000U);
    EXPECT_NE(PWR->CSR & PWR_CSR_VOSRDY, 0U);
    EXPECT_EQ(FLASH->ACR, 0U);
    EXPECT_EQ(chip.clocks().now().hclk, 16000000U);
}

TEST_F(ClockModelTest, CrystalBecomesReadyAfterItsStartUpTime)
{
    RCC->CR = RCC->CR | RCC_CR_HSEON;
    Picos on = chip.now();
    chip.run_until(on + sim::Rcc::kHseStartup - sim::microseconds(10));
    EXPECT_EQ(RCC->CR & RCC_CR_HSERDY, 0U);
    chip.run_until(on + sim::Rcc::kHseStartup);
    EXPECT_NE(RCC->CR & RCC_CR_HSERDY, 0U);

    RCC->CR = RCC->CR & ~RCC_CR_HSEON;
    EXPECT_EQ(RCC->CR & RCC_CR_HSERDY, 0U);
}

TEST_F(ClockModelTest, PllLocksOnlyOnceItsInputRuns)
{
    RCC->PLLCFGR = 0x0440180CU;
    RCC->CR = RCC->CR | RCC_CR_PLLON;  // fed from HSE, which is off
    wait(sim::milliseconds(5));
    EXPECT_EQ(RCC->CR & RCC_CR_PLLRDY, 0U);

    RCC->CR = RCC->CR | RCC_CR_HSEON;
    Picos on = chip.now();
    chip.run_until(on + sim::Rcc::kHseStartup + sim::Rcc::kPllLock - sim::microseconds(10));
    EXPECT_EQ(RCC->CR & RCC_CR_PLLRDY, 0U);
    chip.run_until(on + sim::Rcc::kHseStartup + sim::Rcc::kPllLock);
    EXPECT_NE(RCC->CR & RCC_CR_PLLRDY, 0U);
    EXPECT_EQ(chip.rcc.pll_output_hz(), 100000000U);

    // The configuration is fixed while the PLL runs.
    chip.log().keep(true);
    RCC->PLLCFGR = 0x24003010U;
    EXPECT_EQ(RCC->PLLCFGR, 0x0440180CU);
    EXPECT_TRUE(log_mentions("PLLCFGR"));

    RCC->CR = RCC->CR & ~RCC_CR_PLLON;
    EXPECT_EQ(RCC->CR & RCC_CR_PLLRDY, 0U);
}

TEST_F(ClockModelTest, SwitchWaitsForItsSourceThenMovesTheClocks)
{
    RCC->CFGR = 2U;  // SW = PLL, which is off
    wait(sim::milliseconds(1));
    EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, 0U);
    EXPECT_EQ(chip.clocks().now().sysclk, 16000000U);

    RCC->PLLCFGR = 0x0440180CU;
    RCC->CR = RCC->CR | RCC_CR_HSEON | RCC_CR_PLLON;
    wait(sim::milliseconds(2));
    EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, 2U << RCC_CFGR_SWS_Pos);
    EXPECT_EQ(chip.clocks().now().sysclk, 100000000U);

    // AHB /2, APB1 /4, APB2 /2: the APB1 timers run at twice PCLK1.
    RCC->CFGR = 2U | (8U << 4) | (5U << 10) | (4U << 13);
    const sim::Clocks& clocks = chip.clocks().now();
    EXPECT_EQ(clocks.hclk, 50000000U);
    EXPECT_EQ(clocks.pclk1, 12500000U);
    EXPECT_EQ(clocks.pclk2, 25000000U);
    EXPECT_EQ(clocks.tim_apb1, 25000000U);

    // The core now counts 50 000 cycles a millisecond.
    const sim::Cycles before = chip.core_cycles();
    wait(sim::milliseconds(1));
    EXPECT_EQ(chip.core_cycles() - before, sim::Cycles(50000));

    // The clocks the system runs on are kept going.
    chip.log().keep(true);
    RCC->CR = RCC->CR & ~(RCC_CR_PLLON | RCC_CR_HSEON);
    EXPECT_NE(RCC->CR & RCC_CR_PLLRDY, 0U);
    EXPECT_NE(RCC->CR & RCC_CR_HSERDY, 0U);
    EXPECT_TRUE(log_mentions("PLLON"));
}

TEST_F(ClockModelTest, ClockEnablesSetTheirBitAndReadBack)
{
    __HAL_RCC_GPIOC_CLK_ENABLE();
    __HAL_RCC_GPIOH_CLK_ENABLE();
    __HAL_RCC_GPIOA_CLK_ENABLE();
    __HAL_RCC_GPIOB_CLK_ENABLE();
    __HAL_RCC_DMA2_CLK_ENABLE();
    EXPECT_EQ(chip.rcc.ahb1enr(), 0x00400087U);
    __HAL_RCC_TIM2_CLK_ENABLE();
    __HAL_RCC_USART2_CLK_ENABLE();
    __HAL_RCC_PWR_CLK_ENABLE();
    EXPECT_EQ(chip.rcc.apb1enr(), 0x10020001U);
    __HAL_RCC_USART1_CLK_ENABLE();
    __HAL_RCC_SYSCFG_CLK_ENABLE();
    EXPECT_EQ(chip.rcc.apb2enr(), 0x00004010U);
}

TEST_F(ClockModelTest, UnmodelledOffsetsAreLogged)
{
    chip.log().keep(true);
    (void)static_cast<uint32_t>(RCC->RESERVED0[0]);  // RCC + 0x18
    EXPECT_TRUE(log_mentions("RCC: read of unmodelled offset 0x18"));
    chip.write(0x40007008U, 1U, 4);
    EXPECT_TRUE(log_mentions("PWR: write"));
    (void)chip.read(0x40023C18U, 4);
    EXPECT_TRUE(log_mentions("FLASH: read"));
    (void)static_cast<uint32_t>(SYSCFG->RESERVED[0]);
    EXPECT_TRUE(log_mentions("SYSCFG: read"));
}

}  // namespace
