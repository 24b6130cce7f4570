#include "firmware_globals.h"

#include <cstring>

#include "PWMB.h"
#include "delays.h"
#include "main.h"
#include "stm32f4xx_hal.h"
#include "uart_int_idle_dma.h"
#include "system_stm32f4xx.h"

namespace test {

void reset_firmware_globals()
{
    SystemCoreClock = 16000000U;
    pasos = 0U;  // cycles per microsecond: zero until delay_us_dwt_init
    uwTick = 0U;
    uwTickPrio = (1UL << __NVIC_PRIO_BITS);
    uwTickFreq = HAL_TICK_FREQ_DEFAULT;

    // PWM channel, dashboard protocol and the frame hand-over.
    std::memset(static_cast<void*>(&htim2), 0, sizeof htim2);
    escala = 100.0f;
    PWM1 = PWMS{&htim2, &TIM2->CCR1, TIM_CHANNEL_1};
    temperatura = 0.0f;
    std::memset(texto, 0, sizeof texto);
    std::memset(trama_rx, 0, sizeof trama_rx);
    flag_rx = 0;
    num_datos = 0;
    std::memset(procesa, 0, sizeof procesa);

    // Serial handles and the receive stream's handle.
    std::memset(static_cast<void*>(&huart1), 0, sizeof huart1);
    std::memset(static_cast<void*>(&huart2), 0, sizeof huart2);
    std::memset(static_cast<void*>(&hdma_usart1_rx), 0, sizeof hdma_usart1_rx);
}

}  // namespace test
