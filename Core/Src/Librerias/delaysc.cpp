#include "delays.h"

#include "stm32f4xx_hal.h"

uint32_t pasos = 0;

void delay_us_dwt_init(void)
{
    CoreDebug->DEMCR |= CoreDebug_DEMCR_TRCENA_Msk;
    DWT->CTRL |= DWT_CTRL_CYCCNTENA_Msk;
    // A clock that is not a whole number of megahertz loses its fraction (99.9 MHz gives 99), so waits
    // come out slightly short on such a clock; the board's 100 MHz divides exactly.
    pasos = HAL_RCC_GetHCLKFreq() / 1000000U;
}

void delay_us_dwt(uint32_t reta)
{
    DWT->CYCCNT = 0;
    // "Less than or equal" so that the wait lasts at least reta * pasos + 1 cycles: delay_us_dwt(0)
    // returns once the counter has reached 1.
    while (DWT->CYCCNT <= reta * pasos) {}
}

void Delay_ms(uint32_t ms)
{
    delay_us_dwt(ms * 1000U);
}
