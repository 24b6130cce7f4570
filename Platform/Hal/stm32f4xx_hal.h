// The platform's umbrella header: everything the firmware may call. Device registers and intrinsics
// come with it.
#pragma once

#include "stm32f4xx.h"
#include "stm32f4xx_hal_conf.h"
#include "stm32f4xx_hal_def.h"
#include "stm32f4xx_hal_cortex.h"
#include "stm32f4xx_hal_rcc.h"
#include "stm32f4xx_hal_gpio.h"
#include "stm32f4xx_hal_tim.h"
#include "stm32f4xx_hal_dma.h"
#include "stm32f4xx_hal_uart.h"

// ---------------------------------------------------------------------------------------------------
// Millisecond time base.

// Tick period in milliseconds. The node keeps the default, 1 ms.
typedef enum : uint8_t {
    HAL_TICK_FREQ_10HZ = 100U,
    HAL_TICK_FREQ_100HZ = 10U,
    HAL_TICK_FREQ_1KHZ = 1U,
    HAL_TICK_FREQ_DEFAULT = HAL_TICK_FREQ_1KHZ,
} HAL_TickFreqTypeDef;

// Milliseconds since the tick started; written only by the tick interrupt, read in one 32-bit load.
// Wraps after 2^32 ms (49.7 days): every user compares differences.
extern volatile uint32_t uwTick;
// The tick interrupt's priority: 16 ((1 << __NVIC_PRIO_BITS), not a valid priority) until the tick has
// been set up, then the priority it was set up with.
extern uint32_t uwTickPrio;
extern HAL_TickFreqTypeDef uwTickFreq;

// Thread level. Caches and prefetch on, priority grouping 4, tick at TICK_INT_PRIORITY, then the board
// hook HAL_MspInit. Always HAL_OK.
HAL_StatusTypeDef HAL_Init(void);
// Thread level. Starts SysTick for one interrupt per tick period at the current SystemCoreClock.
// HAL_ERROR if the reload does not fit the 24-bit counter or the priority is above 15.
HAL_StatusTypeDef HAL_InitTick(uint32_t TickPriority);
// Interrupt context (the SysTick handler) only: adds one tick period to uwTick.
void HAL_IncTick(void);
// Any context.
uint32_t HAL_GetTick(void);
// Thread level only: the tick must be able to pre-empt the caller. Lasts more than Delay ms and at
// most Delay + 1 ms. HAL_MAX_DELAY gets no extra tick and so waits 2^32 - 1 ms (about 49.7 days).
void HAL_Delay(uint32_t Delay);
// Board hook called by HAL_Init; the platform's default does nothing.
void HAL_MspInit(void);
