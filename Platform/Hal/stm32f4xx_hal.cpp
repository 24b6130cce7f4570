// Platform core: start-up of the platform, the millisecond tick and the delay built on it.
#include "stm32f4xx_hal.h"

#include "system_stm32f4xx.h"

volatile uint32_t uwTick = 0U;
uint32_t uwTickPrio = (1UL << __NVIC_PRIO_BITS);  // invalid until HAL_InitTick succeeds
HAL_TickFreqTypeDef uwTickFreq = HAL_TICK_FREQ_DEFAULT;

HAL_StatusTypeDef HAL_Init(void)
{
    // The flash needs wait states above 30 MHz (3 at 100 MHz); the ART accelerator's instruction and
    // data caches and the prefetch buffer hide most of them. They are switched on before the clock is
    // raised.
#if (INSTRUCTION_CACHE_ENABLE != 0U)
    __HAL_FLASH_INSTRUCTION_CACHE_ENABLE();
#endif
#if (DATA_CACHE_ENABLE != 0U)
    __HAL_FLASH_DATA_CACHE_ENABLE();
#endif
#if (PREFETCH_ENABLE != 0U)
    __HAL_FLASH_PREFETCH_BUFFER_ENABLE();
#endif

    // All four implemented priority bits are pre-emption priority: 16 levels, no sub-priority.
    HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);

    // The core still runs on the 16 MHz internal oscillator: the tick's reload is 15999.
    (void)HAL_InitTick(TICK_INT_PRIORITY);

    HAL_MspInit();
    return HAL_OK;
}

HAL_StatusTypeDef HAL_InitTick(uint32_t TickPriority)
{
    if (uwTickFreq == 0U) {
        return HAL_ERROR;  // a zero tick period has no reload
    }
    // One SysTick period per tick: SystemCoreClock / 1000 core cycles for 1 ms.
    if (HAL_SYSTICK_Config(SystemCoreClock / (1000U / uwTickFreq)) > 0U) {
        return HAL_ERROR;
    }
    if (TickPriority >= (1UL << __NVIC_PRIO_BITS)) {
        return HAL_ERROR;  // the tick keeps the lowest priority HAL_SYSTICK_Config gave it
    }
    HAL_NVIC_SetPriority(SysTick_IRQn, TickPriority, 0U);
    uwTickPrio = TickPriority;
    return HAL_OK;
}

void HAL_IncTick(void)
{
    uwTick = uwTick + uwTickFreq;  // only this interrupt writes it: no read-modify-write race
}

uint32_t HAL_GetTick(void)
{
    return uwTick;
}

void HAL_Delay(uint32_t Delay)
{
    const uint32_t tickstart = HAL_GetTick();
    uint32_t wait = Delay;

    // The call may start just before a tick: one more period makes sure at least Delay ms pass.
    // Saturates, so that a delay near the limit cannot wrap round to a short one.
    if (wait < HAL_MAX_DELAY) {
        wait = (wait <= HAL_MAX_DELAY - uwTickFreq) ? wait + uwTickFreq : HAL_MAX_DELAY;
    }

    // Unsigned difference: a wrap of uwTick during the wait does no harm.
    while ((HAL_GetTick() - tickstart) < wait) {
        __NOP();
    }
}

__attribute__((weak)) void HAL_MspInit(void) {}
