// Oscillators, PLL, system clock switch and bus prescalers of the STM32F411.
//
// Clock tree: SYSCLK is HSI (16 MHz RC), HSE (the board's 25 MHz crystal) or the PLL's P output,
// (input / M) * N / P. HCLK (core, AHB, SysTick) is SYSCLK divided by the AHB prescaler; PCLK1 and PCLK2
// are HCLK divided by the APB prescalers. APB1 may run at 50 MHz at most, APB2 at 100 MHz.
#include "stm32f4xx_hal.h"

#include "system_stm32f4xx.h"

// HSI trim, CR bits 7:3.
#define NODE_RCC_CR_HSITRIM_Pos 3U
#define NODE_RCC_CR_HSITRIM (0x1FUL << NODE_RCC_CR_HSITRIM_Pos)

// Waits until the RCC CR bit `flag` reads as `set`, for at most `timeout` ms of the tick. The time is
// taken before the bit is read, so a wait pre-empted for longer than the time-out still looks at the bit
// once more and does not report a failure that did not happen.
static HAL_StatusTypeDef rcc_wait_for(uint32_t flag, bool set, uint32_t timeout)
{
    const uint32_t tickstart = HAL_GetTick();
    for (;;) {
        const uint32_t elapsed = HAL_GetTick() - tickstart;
        if (((RCC->CR & flag) != 0U) == set) {
            return HAL_OK;
        }
        if (elapsed > timeout) {
            return HAL_TIMEOUT;
        }
    }
}

static bool pll_drives_sysclk(void)
{
    return __HAL_RCC_GET_SYSCLK_SOURCE() == RCC_SYSCLKSOURCE_PLLCLK;
}

// Whether the system clock depends on the crystal oscillator, directly or through the PLL.
static bool hse_drives_sysclk(void)
{
    const uint32_t source = __HAL_RCC_GET_SYSCLK_SOURCE();
    return (source == RCC_SYSCLKSOURCE_HSE) ||
           ((source == RCC_SYSCLKSOURCE_PLLCLK) && ((RCC->PLLCFGR & RCC_PLLCFGR_PLLSRC) != 0U));
}

static bool hsi_drives_sysclk(void)
{
    const uint32_t source = __HAL_RCC_GET_SYSCLK_SOURCE();
    return (source == RCC_SYSCLKSOURCE_HSI) ||
           ((source == RCC_SYSCLKSOURCE_PLLCLK) && ((RCC->PLLCFGR & RCC_PLLCFGR_PLLSRC) == 0U));
}

static HAL_StatusTypeDef rcc_config_hse(uint32_t state)
{
    if ((state != RCC_HSE_OFF) && (state != RCC_HSE_ON) && (state != RCC_HSE_BYPASS)) {
        return HAL_ERROR;
    }
    if (hse_drives_sysclk()) {
        // The running clock cannot be stopped; asking for it to run is already satisfied.
        return (state == RCC_HSE_OFF) ? HAL_ERROR : HAL_OK;
    }
    if (state == RCC_HSE_OFF) {
        CLEAR_BIT(RCC->CR, RCC_CR_HSEON);
        CLEAR_BIT(RCC->CR, RCC_CR_HSEBYP);  // writable only once HSEON is clear
        return rcc_wait_for(RCC_CR_HSERDY, false, HSE_STARTUP_TIMEOUT);
    }
    uint32_t cr = RCC->CR;
    if ((cr & (RCC_CR_HSEON | RCC_CR_HSEBYP)) != state) {
        // The bypass bit can change only while the oscillator is off.
        if ((cr & RCC_CR_HSEON) != 0U) {
            cr &= ~RCC_CR_HSEON;
            RCC->CR = cr;
            if (rcc_wait_for(RCC_CR_HSERDY, false, HSE_STARTUP_TIMEOUT) != HAL_OK) {
                return HAL_TIMEOUT;
            }
            cr = RCC->CR;
        }
        if ((cr & RCC_CR_HSEBYP) != (state & RCC_CR_HSEBYP)) {
            cr = (cr & ~RCC_CR_HSEBYP) | (state & RCC_CR_HSEBYP);
            RCC->CR = cr;
        }
        RCC->CR = cr | RCC_CR_HSEON;
    }
    // A crystal needs a few ms to start oscillating; no crystal never becomes ready.
    return rcc_wait_for(RCC_CR_HSERDY, true, HSE_STARTUP_TIMEOUT);
}

static HAL_StatusTypeDef rcc_config_hsi(uint32_t state, uint32_t calibration)
{
    if ((state != RCC_HSI_OFF) && (state != RCC_HSI_ON)) {
        return HAL_ERROR;
    }
    if (state == RCC_HSI_ON) {
        MODIFY_REG(RCC->CR, NODE_RCC_CR_HSITRIM, (calibration << NODE_RCC_CR_HSITRIM_Pos) & NODE_RCC_CR_HSITRIM);
        SET_BIT(RCC->CR, RCC_CR_HSION);
        return rcc_wait_for(RCC_CR_HSIRDY, true, HSI_TIMEOUT_VALUE);
    }
    if (hsi_drives_sysclk()) {
        return HAL_ERROR;
    }
    CLEAR_BIT(RCC->CR, RCC_CR_HSION);
    return rcc_wait_for(RCC_CR_HSIRDY, false, HSI_TIMEOUT_VALUE);
}

static bool pll_settings_valid(const RCC_PLLInitTypeDef* pll)
{
    return ((pll->PLLSource == RCC_PLLSOURCE_HSI) || (pll->PLLSource == RCC_PLLSOURCE_HSE)) && (pll->PLLM >= 2U) &&
           (pll->PLLM <= 63U) && (pll->PLLN >= 50U) && (pll->PLLN <= 432U) &&
           ((pll->PLLP == RCC_PLLP_DIV2) || (pll->PLLP == RCC_PLLP_DIV4) || (pll->PLLP == RCC_PLLP_DIV6) ||
            (pll->PLLP == RCC_PLLP_DIV8)) &&
           (pll->PLLQ >= 2U) && (pll->PLLQ <= 15U);
}

// The PLL configuration register as one value: source bit 22, M bits 5:0, N bits 14:6, P as the code
// (P / 2) - 1 in bits 17:16, Q bits 27:24. The board's 25 MHz / 12 * 96 / 2 gives 0x0440180C.
static uint32_t pllcfgr_value(const RCC_PLLInitTypeDef* pll)
{
    return pll->PLLSource | (pll->PLLM << RCC_PLLCFGR_PLLM_Pos) | (pll->PLLN << RCC_PLLCFGR_PLLN_Pos) |
           (((pll->PLLP >> 1U) - 1U) << RCC_PLLCFGR_PLLP_Pos) | (pll->PLLQ << RCC_PLLCFGR_PLLQ_Pos);
}

static HAL_StatusTypeDef rcc_config_pll(const RCC_PLLInitTypeDef* pll)
{
    if ((pll->PLLState != RCC_PLL_OFF) && (pll->PLLState != RCC_PLL_ON)) {
        return HAL_ERROR;
    }
    if ((pll->PLLState == RCC_PLL_ON) && !pll_settings_valid(pll)) {
        return HAL_ERROR;
    }
    const uint32_t fields =
        RCC_PLLCFGR_PLLSRC | RCC_PLLCFGR_PLLM | RCC_PLLCFGR_PLLN | RCC_PLLCFGR_PLLP | RCC_PLLCFGR_PLLQ;
    if (pll_drives_sysclk()) {
        // The running PLL can be neither stopped nor reprogrammed; the settings it already has are fine.
        if ((pll->PLLState == RCC_PLL_OFF) || ((RCC->PLLCFGR & fields) != pllcfgr_value(pll))) {
            return HAL_ERROR;
        }
        return HAL_OK;
    }

    // PLLCFGR may be written only while the PLL is off.
    CLEAR_BIT(RCC->CR, RCC_CR_PLLON);
    if (rcc_wait_for(RCC_CR_PLLRDY, false, PLL_TIMEOUT_VALUE) != HAL_OK) {
        return HAL_TIMEOUT;
    }
    if (pll->PLLState == RCC_PLL_OFF) {
        return HAL_OK;
    }
    WRITE_REG(RCC->PLLCFGR, pllcfgr_value(pll));
    SET_BIT(RCC->CR, RCC_CR_PLLON);
    // Lock takes up to 0.2 ms once its input runs; an input that does not run never locks.
    return rcc_wait_for(RCC_CR_PLLRDY, true, PLL_TIMEOUT_VALUE);
}

HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* RCC_OscInitStruct)
{
    if (RCC_OscInitStruct == NULL) {
        return HAL_ERROR;
    }
    const uint32_t type = RCC_OscInitStruct->OscillatorType;
    if ((type & (RCC_OSCILLATORTYPE_LSE | RCC_OSCILLATORTYPE_LSI)) != 0U) {
        return HAL_ERROR;  // the low-speed oscillators are not used by this board
    }
    HAL_StatusTypeDef status;
    if ((type & RCC_OSCILLATORTYPE_HSE) != 0U) {
        status = rcc_config_hse(RCC_OscInitStruct->HSEState);
        if (status != HAL_OK) {
            return status;
        }
    }
    if ((type & RCC_OSCILLATORTYPE_HSI) != 0U) {
        status = rcc_config_hsi(RCC_OscInitStruct->HSIState, RCC_OscInitStruct->HSICalibrationValue);
        if (status != HAL_OK) {
            return status;
        }
    }
    if (RCC_OscInitStruct->PLL.PLLState != RCC_PLL_NONE) {
        return rcc_config_pll(&RCC_OscInitStruct->PLL);
    }
    return HAL_OK;
}

static bool sysclk_source_ready(uint32_t source)
{
    switch (source) {
        case RCC_SYSCLKSOURCE_HSI:
            return (RCC->CR & RCC_CR_HSIRDY) != 0U;
        case RCC_SYSCLKSOURCE_HSE:
            return (RCC->CR & RCC_CR_HSERDY) != 0U;
        case RCC_SYSCLKSOURCE_PLLCLK:
            return (RCC->CR & RCC_CR_PLLRDY) != 0U;
        default:
            return false;  // code 3 selects nothing
    }
}

static HAL_StatusTypeDef rcc_set_latency(uint32_t latency)
{
    __HAL_FLASH_SET_LATENCY(latency);
    // Running faster than the wait states allow reads garbage from the flash: make sure they took.
    return (__HAL_FLASH_GET_LATENCY() == latency) ? HAL_OK : HAL_ERROR;
}

HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* RCC_ClkInitStruct, uint32_t FLatency)
{
    if (RCC_ClkInitStruct == NULL) {
        return HAL_ERROR;
    }
    const uint32_t type = RCC_ClkInitStruct->ClockType;

    // Going faster: more wait states before the clock rises.
    if (FLatency > __HAL_FLASH_GET_LATENCY()) {
        if (rcc_set_latency(FLatency) != HAL_OK) {
            return HAL_ERROR;
        }
    }

    if ((type & RCC_CLOCKTYPE_HCLK) != 0U) {
        // The APB buses at their slowest while HCLK changes, so that neither exceeds its limit in
        // between; their final dividers are set below.
        if ((type & RCC_CLOCKTYPE_PCLK1) != 0U) {
            MODIFY_REG(RCC->CFGR, RCC_CFGR_PPRE1, RCC_HCLK_DIV16);
        }
        if ((type & RCC_CLOCKTYPE_PCLK2) != 0U) {
            MODIFY_REG(RCC->CFGR, RCC_CFGR_PPRE2, RCC_HCLK_DIV16 << 3U);
        }
        MODIFY_REG(RCC->CFGR, RCC_CFGR_HPRE, RCC_ClkInitStruct->AHBCLKDivider & RCC_CFGR_HPRE);
    }

    if ((type & RCC_CLOCKTYPE_SYSCLK) != 0U) {
        const uint32_t source = RCC_ClkInitStruct->SYSCLKSource;
        if (!sysclk_source_ready(source)) {
            return HAL_ERROR;
        }
        MODIFY_REG(RCC->CFGR, RCC_CFGR_SW, source);
        // The switch completes within a few cycles of both clocks; SWS then shows the new source.
        const uint32_t tickstart = HAL_GetTick();
        for (;;) {
            const uint32_t elapsed = HAL_GetTick() - tickstart;
            if (__HAL_RCC_GET_SYSCLK_SOURCE() == source) {
                break;
            }
            if (elapsed > CLOCKSWITCH_TIMEOUT_VALUE) {
                return HAL_TIMEOUT;
            }
        }
    }

    // Going slower: fewer wait states only once the clock has come down.
    if (FLatency < __HAL_FLASH_GET_LATENCY()) {
        if (rcc_set_latency(FLatency) != HAL_OK) {
            return HAL_ERROR;
        }
    }

    if ((type & RCC_CLOCKTYPE_PCLK1) != 0U) {
        MODIFY_REG(RCC->CFGR, RCC_CFGR_PPRE1, RCC_ClkInitStruct->APB1CLKDivider & RCC_CFGR_PPRE1);
    }
    if ((type & RCC_CLOCKTYPE_PCLK2) != 0U) {
        MODIFY_REG(RCC->CFGR, RCC_CFGR_PPRE2, (RCC_ClkInitStruct->APB2CLKDivider << 3U) & RCC_CFGR_PPRE2);
    }

    SystemCoreClock = HAL_RCC_GetSysClockFreq() >> AHBPrescTable[(RCC->CFGR & RCC_CFGR_HPRE) >> RCC_CFGR_HPRE_Pos];
    // The tick's reload depends on the core clock: remake it at the priority already chosen.
    (void)HAL_InitTick(uwTickPrio);
    return HAL_OK;
}

uint32_t HAL_RCC_GetSysClockFreq(void)
{
    switch (__HAL_RCC_GET_SYSCLK_SOURCE()) {
        case RCC_SYSCLKSOURCE_HSE:
            return HSE_VALUE;
        case RCC_SYSCLKSOURCE_PLLCLK: {
            const uint32_t pllcfgr = RCC->PLLCFGR;
            const uint32_t m = (pllcfgr & RCC_PLLCFGR_PLLM) >> RCC_PLLCFGR_PLLM_Pos;
            const uint32_t n = (pllcfgr & RCC_PLLCFGR_PLLN) >> RCC_PLLCFGR_PLLN_Pos;
            const uint32_t p = (((pllcfgr & RCC_PLLCFGR_PLLP) >> RCC_PLLCFGR_PLLP_Pos) + 1U) * 2U;
            const uint32_t input = ((pllcfgr & RCC_PLLCFGR_PLLSRC) != 0U) ? HSE_VALUE : HSI_VALUE;
            if (m == 0U) {
                return 0U;  // not a configuration the PLL can lock with
            }
            // 64-bit: the VCO product input * N reaches 10.8e9 before the division by M.
            return static_cast<uint32_t>((static_cast<uint64_t>(input) * n / m) / p);
        }
        default:
            return HSI_VALUE;
    }
}

uint32_t HAL_RCC_GetHCLKFreq(void)
{
    return SystemCoreClock;
}

uint32_t HAL_RCC_GetPCLK1Freq(void)
{
    return HAL_RCC_GetHCLKFreq() >> APBPrescTable[(RCC->CFGR & RCC_CFGR_PPRE1) >> RCC_CFGR_PPRE1_Pos];
}

uint32_t HAL_RCC_GetPCLK2Freq(void)
{
    return HAL_RCC_GetHCLKFreq() >> APBPrescTable[(RCC->CFGR & RCC_CFGR_PPRE2) >> RCC_CFGR_PPRE2_Pos];
}
