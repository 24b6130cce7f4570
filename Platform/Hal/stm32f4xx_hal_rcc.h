// Reset and clock control: oscillators, the main PLL, the system clock switch and bus prescalers, the
// peripheral clock enables, and the two neighbours the clock set-up needs (flash wait states in the
// flash interface, the regulator's voltage scale in PWR).
//
// Every operation here runs at thread level during initialisation; the time-outs are measured with the
// millisecond tick, so it must be running (HAL_Init) for a time-out to end.
#pragma once

#include <stdint.h>

#include "stm32f4xx.h"
#include "stm32f4xx_hal_def.h"

// ---------------------------------------------------------------------------------------------------
// Records.

typedef struct {
    uint32_t PLLState;   // RCC_PLL_NONE (leave as is), RCC_PLL_OFF, RCC_PLL_ON
    uint32_t PLLSource;  // RCC_PLLSOURCE_HSI or RCC_PLLSOURCE_HSE
    uint32_t PLLM;       // input divider, 2..63: the VCO input should be 1..2 MHz
    uint32_t PLLN;       // VCO multiplier, 50..432: the VCO output must be 100..432 MHz
    uint32_t PLLP;       // system clock divider: RCC_PLLP_DIV2/4/6/8
    uint32_t PLLQ;       // 48 MHz domain divider, 2..15
} RCC_PLLInitTypeDef;

typedef struct {
    uint32_t OscillatorType;       // RCC_OSCILLATORTYPE_* of the oscillators to configure, or-ed
    uint32_t HSEState;             // RCC_HSE_OFF, RCC_HSE_ON, RCC_HSE_BYPASS
    uint32_t LSEState;             // not supported by this platform
    uint32_t HSIState;             // RCC_HSI_OFF, RCC_HSI_ON
    uint32_t HSICalibrationValue;  // HSI trim, 0..31 (16 is the factory centre)
    uint32_t LSIState;             // not supported by this platform
    RCC_PLLInitTypeDef PLL;
} RCC_OscInitTypeDef;

typedef struct {
    uint32_t ClockType;       // RCC_CLOCKTYPE_* of the clocks to configure, or-ed
    uint32_t SYSCLKSource;    // RCC_SYSCLKSOURCE_*
    uint32_t AHBCLKDivider;   // RCC_SYSCLK_DIV*
    uint32_t APB1CLKDivider;  // RCC_HCLK_DIV*
    uint32_t APB2CLKDivider;  // RCC_HCLK_DIV*
} RCC_ClkInitTypeDef;

// ---------------------------------------------------------------------------------------------------
// Values of the record fields.

#define RCC_OSCILLATORTYPE_NONE 0x00000000U
#define RCC_OSCILLATORTYPE_HSE 0x00000001U
#define RCC_OSCILLATORTYPE_HSI 0x00000002U
#define RCC_OSCILLATORTYPE_LSE 0x00000004U
#define RCC_OSCILLATORTYPE_LSI 0x00000008U

#define RCC_HSE_OFF 0x00000000U
#define RCC_HSE_ON RCC_CR_HSEON                        // 0x10000
#define RCC_HSE_BYPASS (RCC_CR_HSEBYP | RCC_CR_HSEON)  // an external clock on OSC_IN, no crystal

#define RCC_HSI_OFF 0x00000000U
#define RCC_HSI_ON 0x00000001U
#define RCC_HSICALIBRATION_DEFAULT 0x10U

#define RCC_PLL_NONE 0x00000000U
#define RCC_PLL_OFF 0x00000001U
#define RCC_PLL_ON 0x00000002U

#define RCC_PLLSOURCE_HSI 0x00000000U
#define RCC_PLLSOURCE_HSE RCC_PLLCFGR_PLLSRC  // 0x400000

#define RCC_PLLP_DIV2 0x00000002U
#define RCC_PLLP_DIV4 0x00000004U
#define RCC_PLLP_DIV6 0x00000006U
#define RCC_PLLP_DIV8 0x00000008U

#define RCC_CLOCKTYPE_SYSCLK 0x00000001U
#define RCC_CLOCKTYPE_HCLK 0x00000002U
#define RCC_CLOCKTYPE_PCLK1 0x00000004U
#define RCC_CLOCKTYPE_PCLK2 0x00000008U

// The system clock switch (CFGR SW) codes.
#define RCC_SYSCLKSOURCE_HSI 0x00000000U
#define RCC_SYSCLKSOURCE_HSE 0x00000001U
#define RCC_SYSCLKSOURCE_PLLCLK 0x00000002U

// AHB prescaler, as CFGR HPRE (bits 7:4).
#define RCC_SYSCLK_DIV1 0x00000000U
#define RCC_SYSCLK_DIV2 0x00000080U
#define RCC_SYSCLK_DIV4 0x00000090U
#define RCC_SYSCLK_DIV8 0x000000A0U
#define RCC_SYSCLK_DIV16 0x000000B0U
#define RCC_SYSCLK_DIV64 0x000000C0U
#define RCC_SYSCLK_DIV128 0x000000D0U
#define RCC_SYSCLK_DIV256 0x000000E0U
#define RCC_SYSCLK_DIV512 0x000000F0U

// APB prescalers, as CFGR PPRE1 (bits 12:10); PPRE2 takes the same code three bits higher.
#define RCC_HCLK_DIV1 0x00000000U
#define RCC_HCLK_DIV2 0x00001000U
#define RCC_HCLK_DIV4 0x00001400U
#define RCC_HCLK_DIV8 0x00001800U
#define RCC_HCLK_DIV16 0x00001C00U

// Flash wait states (FLASH ACR LATENCY). At 3.3 V: 0 up to 30 MHz, 1 to 64, 2 to 90, 3 to 100 MHz.
#define FLASH_LATENCY_0 0x00000000U
#define FLASH_LATENCY_1 0x00000001U
#define FLASH_LATENCY_2 0x00000002U
#define FLASH_LATENCY_3 0x00000003U
#define FLASH_LATENCY_4 0x00000004U
#define FLASH_LATENCY_5 0x00000005U
#define FLASH_LATENCY_6 0x00000006U
#define FLASH_LATENCY_7 0x00000007U

// Regulator voltage scale (PWR CR VOS, bits 15:14). Scale 1 is needed for 100 MHz.
#define PWR_REGULATOR_VOLTAGE_SCALE1 0x0000C000U
#define PWR_REGULATOR_VOLTAGE_SCALE2 0x00008000U
#define PWR_REGULATOR_VOLTAGE_SCALE3 0x00004000U

// Time-outs in ms. The crystal's own, HSE_STARTUP_TIMEOUT, comes from the board configuration.
#define HSI_TIMEOUT_VALUE 2U
#define PLL_TIMEOUT_VALUE 2U
#define CLOCKSWITCH_TIMEOUT_VALUE 5000U

// ---------------------------------------------------------------------------------------------------
// Peripheral clock enables. The read-back after the write is not decoration: the enable takes two bus
// cycles to reach the peripheral, and an access to it right after the write could be lost. Reading the
// enable register back stalls the core until the write has completed.

#define NODE_RCC_ENABLE_WITH_READ_BACK(reg, bit)     \
    do {                                             \
        volatile uint32_t node_read_back_;           \
        SET_BIT(RCC->reg, (bit));                    \
        node_read_back_ = READ_BIT(RCC->reg, (bit)); \
        UNUSED(node_read_back_);                     \
    } while (0U)

#define __HAL_RCC_GPIOA_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(AHB1ENR, RCC_AHB1ENR_GPIOAEN)
#define __HAL_RCC_GPIOB_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(AHB1ENR, RCC_AHB1ENR_GPIOBEN)
#define __HAL_RCC_GPIOC_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(AHB1ENR, RCC_AHB1ENR_GPIOCEN)
#define __HAL_RCC_GPIOH_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(AHB1ENR, RCC_AHB1ENR_GPIOHEN)
#define __HAL_RCC_DMA2_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(AHB1ENR, RCC_AHB1ENR_DMA2EN)
#define __HAL_RCC_TIM2_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(APB1ENR, RCC_APB1ENR_TIM2EN)
#define __HAL_RCC_USART2_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(APB1ENR, RCC_APB1ENR_USART2EN)
#define __HAL_RCC_PWR_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(APB1ENR, RCC_APB1ENR_PWREN)
#define __HAL_RCC_USART1_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(APB2ENR, RCC_APB2ENR_USART1EN)
#define __HAL_RCC_SYSCFG_CLK_ENABLE() NODE_RCC_ENABLE_WITH_READ_BACK(APB2ENR, RCC_APB2ENR_SYSCFGEN)

// The system clock source in force (CFGR SWS), as an RCC_SYSCLKSOURCE_* code.
#define __HAL_RCC_GET_SYSCLK_SOURCE() ((RCC->CFGR & RCC_CFGR_SWS) >> RCC_CFGR_SWS_Pos)

// Regulator voltage scale: the VOS field set with the other bits of PWR CR kept, then read back (the
// PWR interface clock must be on).
#define __HAL_PWR_VOLTAGESCALING_CONFIG(x)                 \
    do {                                                   \
        volatile uint32_t node_read_back_;                 \
        MODIFY_REG(PWR->CR, PWR_CR_VOS, ((x)&PWR_CR_VOS)); \
        node_read_back_ = READ_BIT(PWR->CR, PWR_CR_VOS);   \
        UNUSED(node_read_back_);                           \
    } while (0U)

// Flash interface: wait states and the ART accelerator.
#define __HAL_FLASH_SET_LATENCY(latency) MODIFY_REG(FLASH->ACR, FLASH_ACR_LATENCY, ((latency)&FLASH_ACR_LATENCY))
#define __HAL_FLASH_GET_LATENCY() (READ_BIT(FLASH->ACR, FLASH_ACR_LATENCY))
#define __HAL_FLASH_INSTRUCTION_CACHE_ENABLE() SET_BIT(FLASH->ACR, FLASH_ACR_ICEN)
#define __HAL_FLASH_DATA_CACHE_ENABLE() SET_BIT(FLASH->ACR, FLASH_ACR_DCEN)
#define __HAL_FLASH_PREFETCH_BUFFER_ENABLE() SET_BIT(FLASH->ACR, FLASH_ACR_PRFTEN)

// ---------------------------------------------------------------------------------------------------
// Operations (thread level).

// Turns the oscillators and the PLL named in the record on or off and waits for each to reach that
// state: the crystal within HSE_STARTUP_TIMEOUT, the PLL within 2 ms (HAL_TIMEOUT otherwise). HAL_ERROR
// for a null record, a PLL setting out of range, LSE/LSI (not supported), or a request to stop or
// change the clock the system runs on.
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* RCC_OscInitStruct);
// Sets the flash wait states, the bus prescalers and the system clock switch in a safe order, then
// SystemCoreClock and the tick for the new clock. HAL_ERROR if the latency does not read back or the
// chosen source is not ready; HAL_TIMEOUT if the switch does not happen within 5000 ms.
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* RCC_ClkInitStruct, uint32_t FLatency);
// Frequencies in Hz, from the registers (system clock) or from SystemCoreClock (the buses). Any context.
uint32_t HAL_RCC_GetSysClockFreq(void);
uint32_t HAL_RCC_GetHCLKFreq(void);
uint32_t HAL_RCC_GetPCLK1Freq(void);
uint32_t HAL_RCC_GetPCLK2Freq(void);
