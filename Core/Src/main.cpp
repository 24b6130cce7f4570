// The node's one thread of control: brings the board up in a fixed order, greets on both serial ports,
// says on USART2 why it started, starts the watchdog and the PWM output at half duty, then runs the
// report cycle for ever (about 4.8 s a cycle: 5 ms of
// 1-Wire traffic, 801 ms of conversion wait, 18 ms of reports at 9600 baud, 4 s of pause).
#include "main.h"

#include <math.h>

#include "PWMB.h"
#include "delays.h"
#include "node_reset.h"
#include "ds18b20.h"
#include "uart.h"
#include "uart_int_idle_dma.h"

float temperatura;

// Reception stopped without a frame: a framing, noise or overrun error or a DMA stream error ended it
// (the receive side is ready, nothing is pending). Arming again is what makes the node hear commands
// again; without it one break on the line would leave it deaf until reset. The receive state is read
// before the flag: a frame completed in between sets the flag before the state can be seen ready.
static uint8_t recepcion_parada(void)
{
    return (huart1.RxState == HAL_UART_STATE_READY) && (flag_rx == 0U);
}

int main(void)
{
    HAL_Init();
    SystemClock_Config();
    MX_GPIO_Init();
    MX_DMA_Init();
    MX_USART1_UART_Init();
    MX_USART2_UART_Init();
    MX_TIM2_Init();

    uartdat_it_idle_dma_init();
    uartx_write_text(&huart2, "Hola\r\n");
    uartx_write_text(&huart1, "Hola\r\n");
    // Why the node started, once, on USART2 only: USART1's peers know the greeting and the reports alone.
    char causa[40];
    reset_cause_text(causa, sizeof causa);
    uartx_write_text(&huart2, causa);
    watchdog_start();
    delay_us_dwt_init();
    PWM_init(&PWM1);
    PWM_valor(&PWM1, 50.0f);

    while (1) {
        // The one refresh: a cycle that does not come round again within the timeout resets the node.
        watchdog_refresh();
        if (flag_rx == 1U) {
            procesa_rx();
            flag_rx = 0U;
            uartdat_it_idle_dma_init();
        } else if (recepcion_parada()) {
            uartdat_it_idle_dma_init();
        }

        temperatura = DS18b20_temp();
        // A failed measurement (no sensor, a shorted line, a corrupted transfer) is not reported: the
        // dashboard keeps the last good value rather than showing a made-up one.
        if (!isnan(temperatura)) {
            formatea_temperatura(temperatura);
            uartx_write_text(&huart1, texto);
        }

        uartx_write_text(&huart1, texto_interruptor(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_12)));

        Delay_ms(4000);
    }
}
