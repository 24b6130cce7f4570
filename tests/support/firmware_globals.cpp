#include "sim_fixture.h"

#include "stm32f4xx_hal.h"
#include "system_stm32f4xx.h"

namespace test {

void reset_firmware_globals()
{
    SystemCoreClock = 16000000U;
    uwTick = 0U;
    uwTickPrio = (1UL << __NVIC_PRIO_BITS);
    uwTickFreq = HAL_TICK_FREQ_DEFAULT;
}

}  // namespace test
