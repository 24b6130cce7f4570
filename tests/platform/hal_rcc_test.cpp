// The clock operations against the simulated RCC: the board's 100 MHz clock tree from the 25 MHz
// crystal, the order of wait states and prescalers around the switch, and the failures (no crystal, a
// PLL that cannot lock, a source that is not ready, a running clock that cannot be changed).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "stm32f4xx_hal.h"
#include "system_stm32f4xx.h"
#include "tick_vector_table.h"

namespace {

using sim::Picos;

// The board's oscillator record: crystal on, PLL from it, 25 MHz / 12 * 96 / 2 = 100 MHz.
RCC_OscInitTypeDef board_oscillators()
{
    RCC_OscInitTypeDef osc = {};
    osc.OscillatorType = RCC_OSCILLATORTYPE_HSE;
    osc.HSEState = RCC_HSE_ON;
    osc.PLL.PLLState = RCC_PLL_ON;
    osc.PLL.PLLSource = RCC_PLLSOURCE_HSE;
    osc.PLL.PLLM = 12;
    osc.PLL.PLLN = 96;
    osc.PLL.PLLP = RCC_PLLP_DIV2;
    osc.PLL.PLLQ = 4;
    return osc;
}

// The board's clock record: SYSCLK from the PLL, AHB /1, APB1 /2 (50 MHz at most), APB2 /1.
RCC_ClkInitTypeDef board_clocks()
{
    RCC_ClkInitTypeDef clk = {};
    clk.ClockType = RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_SYSCLK | RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
    clk.SYSCLKSource = RCC_SYSCLKSOURCE_PLLCLK;
    clk.AHBCLKDivider = RCC_SYSCLK_DIV1;
    clk.APB1CLKDivider = RCC_HCLK_DIV2;
    clk.APB2CLKDivider = RCC_HCLK_DIV1;
    return clk;
}

RCC_ClkInitTypeDef hsi_clocks()
{
    RCC_ClkInitTypeDef clk = board_clocks();
    clk.SYSCLKSource = RCC_SYSCLKSOURCE_HSI;
    clk.APB1CLKDivider = RCC_HCLK_DIV1;
    return clk;
}

// What the chip's clocks were each time they changed, with the flash wait states at that moment.
struct ClockStep {
    sim::Clocks clocks;
    uint32_t latency;
};

class RccTest : public test::TickedSimTest {
protected:
    RccTest()
    {
        chip.clocks().on_change([this](const sim::Clocks&, const sim::Clocks& after) {
            steps.push_back({after, chip.flash.latency()});
        });
    }

    void bring_up_board_clocks()
    {
        RCC_OscInitTypeDef osc = board_oscillators();
        RCC_ClkInitTypeDef clk = board_clocks();
        ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
        ASSERT_EQ(HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_3), HAL_OK);
    }

    std::vector<ClockStep> steps;
};

TEST_F(RccTest, BoardClockTreeRunsTheCoreAt100MHz)
{
    HAL_Init();
    EXPECT_EQ(HAL_RCC_GetHCLKFreq(), 16000000U);

    __HAL_RCC_PWR_CLK_ENABLE();
    EXPECT_NE(RCC->APB1ENR & RCC_APB1ENR_PWREN, 0U);
    PWR->CR = PWR->CR | (1U << 8);  // an unrelated bit (DBP) that the scale change must keep
    __HAL_PWR_VOLTAGESCALING_CONFIG(PWR_REGULATOR_VOLTAGE_SCALE1);
    EXPECT_EQ(PWR->CR, 0xC100U);

    RCC_OscInitTypeDef osc = board_oscillators();
    Picos start = chip.now();
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    EXPECT_EQ(RCC->PLLCFGR, 0x0440180CU);
    // Crystal start-up and PLL lock, each seen at the next poll of the ready flag.
    EXPECT_GE(chip.now() - start, sim::Rcc::kHseStartup + sim::Rcc::kPllLock);
    EXPECT_LT(chip.now() - start, sim::milliseconds(3));

    RCC_ClkInitTypeDef clk = board_clocks();
    ASSERT_EQ(HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_3), HAL_OK);

    EXPECT_EQ(HAL_RCC_GetSysClockFreq(), 100000000U);
    EXPECT_EQ(HAL_RCC_GetHCLKFreq(), 100000000U);
    EXPECT_EQ(HAL_RCC_GetPCLK1Freq(), 50000000U);
    EXPECT_EQ(HAL_RCC_GetPCLK2Freq(), 100000000U);
    EXPECT_EQ(FLASH->ACR & FLASH_ACR_LATENCY, 3U);
    EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, 2U << RCC_CFGR_SWS_Pos);
    EXPECT_EQ((RCC->CFGR & RCC_CFGR_HPRE) >> RCC_CFGR_HPRE_Pos, 0U);
    EXPECT_EQ((RCC->CFGR & RCC_CFGR_PPRE1) >> RCC_CFGR_PPRE1_Pos, 4U);  // /2
    EXPECT_EQ((RCC->CFGR & RCC_CFGR_PPRE2) >> RCC_CFGR_PPRE2_Pos, 0U);

    // The tick was remade for the new clock, at the priority already chosen.
    EXPECT_EQ(SysTick->LOAD, 99999U);
    EXPECT_EQ(SCB->SHPR[11], 0xF0U);
    EXPECT_EQ(uwTickPrio, 15U);

    EXPECT_EQ(chip.clocks().now().tim_apb1, 100000000U);  // twice PCLK1 for TIM2

    // Still one tick per millisecond.
    start = chip.now();
    HAL_Delay(10);
    EXPECT_GT(chip.now() - start, sim::milliseconds(10));
    EXPECT_LE(chip.now() - start, sim::milliseconds(11) + sim::microseconds(5));
}

TEST_F(RccTest, WaitStatesAndBusDividersStaySafeAroundTheSwitch)
{
    HAL_Init();
    bring_up_board_clocks();
    ASSERT_FALSE(steps.empty());
    for (const ClockStep& step : steps) {
        // Three wait states before the flash is read at more than 90 MHz; APB1 never above 50 MHz.
        if (step.clocks.hclk > 90000000U) {
            EXPECT_GE(step.latency, 3U);
        }
        EXPECT_LE(step.clocks.pclk1, 50000000U);
    }

    // Back to the internal oscillator: the wait states drop only after the clock has.
    steps.clear();
    RCC_ClkInitTypeDef clk = hsi_clocks();
    ASSERT_EQ(HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_0), HAL_OK);
    auto slow =
        std::find_if(steps.begin(), steps.end(), [](const ClockStep& s) { return s.clocks.sysclk == 16000000U; });
    ASSERT_NE(slow, steps.end());
    EXPECT_EQ(slow->latency, 3U);
    EXPECT_EQ(FLASH->ACR & FLASH_ACR_LATENCY, 0U);
    EXPECT_EQ(SystemCoreClock, 16000000U);
    EXPECT_EQ(SysTick->LOAD, 15999U);
    EXPECT_EQ(HAL_RCC_GetPCLK1Freq(), 16000000U);
}

TEST_F(RccTest, ClockSourceThatIsNotReadyIsRefused)
{
    HAL_Init();
    RCC_ClkInitTypeDef clk = board_clocks();
    EXPECT_EQ(HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_3), HAL_ERROR);  // the PLL is off
    EXPECT_EQ(RCC->CFGR & (RCC_CFGR_SW | RCC_CFGR_SWS), 0U);
    EXPECT_EQ(SystemCoreClock, 16000000U);
    EXPECT_EQ(SysTick->LOAD, 15999U);
}

TEST_F(RccTest, LatencyThatDoesNotReadBackIsAnError)
{
    HAL_Init();
    RCC_ClkInitTypeDef clk = hsi_clocks();
    EXPECT_EQ(HAL_RCC_ClockConfig(&clk, 16U), HAL_ERROR);  // LATENCY has four bits
}

TEST_F(RccTest, RunningClockCannotBeStoppedOrReprogrammed)
{
    HAL_Init();
    bring_up_board_clocks();

    RCC_OscInitTypeDef osc = board_oscillators();
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);  // asking for what runs already is fine

    osc.PLL.PLLN = 100;
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_ERROR);
    osc = board_oscillators();
    osc.PLL.PLLState = RCC_PLL_OFF;
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_ERROR);
    osc = board_oscillators();
    osc.HSEState = RCC_HSE_OFF;
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_ERROR);

    EXPECT_EQ(RCC->PLLCFGR, 0x0440180CU);
    EXPECT_NE(RCC->CR & RCC_CR_PLLRDY, 0U);
    EXPECT_EQ(chip.clocks().now().hclk, 100000000U);
}

TEST_F(RccTest, BadRecordsAreRefusedBeforeTouchingThePll)
{
    HAL_Init();
    EXPECT_EQ(HAL_RCC_OscConfig(nullptr), HAL_ERROR);
    EXPECT_EQ(HAL_RCC_ClockConfig(nullptr, FLASH_LATENCY_0), HAL_ERROR);

    RCC_OscInitTypeDef osc = board_oscillators();
    osc.OscillatorType = RCC_OSCILLATORTYPE_NONE;
    osc.PLL.PLLM = 0;  // would divide the input by zero
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_ERROR);
    osc.PLL.PLLM = 12;
    osc.PLL.PLLP = 3;  // P is 2, 4, 6 or 8
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_ERROR);
    EXPECT_EQ(RCC->PLLCFGR, 0x24003010U);
}

// The accesses of one round of a poll loop after the tick that ends it.
constexpr Picos kPollSlack = sim::microseconds(5);

// A board whose crystal is missing or does not start.
class NoCrystalTest : public ::testing::Test {
protected:
    NoCrystalTest() { test::reset_firmware_globals(); }

    sim::Chip chip{sim::ChipConfig{false}};
    test::TickVectorTable vectors{chip};
};

TEST_F(NoCrystalTest, OscillatorConfigTimesOutAfter100ms)
{
    HAL_Init();
    RCC_OscInitTypeDef osc = board_oscillators();
    Picos start = chip.now();
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_TIMEOUT);
    Picos took = chip.now() - start;
    // More than 100 ticks since the start: 100 to 101 ms on the chip. The simulator may add one tick, as
    // it lets a register poll sleep until the next event, and the loop's last look at HSERDY is one.
    EXPECT_GT(took, sim::milliseconds(100));
    EXPECT_LE(took, sim::milliseconds(102) + kPollSlack);
    EXPECT_EQ(RCC->CR & RCC_CR_HSERDY, 0U);
    EXPECT_EQ(RCC->CR & RCC_CR_PLLON, 0U);  // never got as far as the PLL
    EXPECT_EQ(RCC->CFGR & RCC_CFGR_SWS, 0U);
    EXPECT_EQ(SystemCoreClock, 16000000U);
}

TEST_F(NoCrystalTest, PllWithoutItsInputTimesOutAfter2ms)
{
    HAL_Init();
    RCC_OscInitTypeDef osc = board_oscillators();
    osc.OscillatorType = RCC_OSCILLATORTYPE_NONE;  // the PLL alone, fed from a crystal that is not there
    Picos start = chip.now();
    EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_TIMEOUT);
    Picos took = chip.now() - start;
    EXPECT_GT(took, sim::milliseconds(2));
    EXPECT_LE(took, sim::milliseconds(4) + kPollSlack);
    EXPECT_EQ(RCC->CR & RCC_CR_PLLRDY, 0U);
}

}  // namespace
