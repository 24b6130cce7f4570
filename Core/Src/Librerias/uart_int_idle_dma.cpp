#include "uart_int_idle_dma.h"

#include <string.h>

uint8_t trama_rx[trama_size];
volatile uint8_t flag_rx;
uint16_t num_datos;
char procesa[100];

void uartdat_it_idle_dma_init(void)
{
    // The first 99 bytes only: the last is never written by the stream (a frame is at most 50 bytes)
    // and keeps its zero, so a frame is always followed by a zero byte.
    memset(trama_rx, 0, trama_size - 1);

    // Bytes that came while reception was stopped left RXNE and perhaps ORE (and FE, NE) set. Writing
    // RXNE as 0 clears it (TC is written back as read, so it stays); the read of SR then the read of DR
    // clear ORE and the error and idle flags, and empty the receive register.
    uint32_t sr = uartdatosreg->SR;
    sr &= ~(USART_SR_RXNE | USART_SR_ORE);
    uartdatosreg->SR = sr;
    volatile uint32_t discarded = uartdatosreg->DR;
    (void)discarded;

    (void)HAL_UARTEx_ReceiveToIdle_DMA(&uartdatos, trama_rx, trama_size);
}

// Interrupt context: USART1 (idle line) or DMA2 Stream 2 (half buffer), both at priority 0, so never
// twice at once.
void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef* huart, uint16_t Size)
{
    // A pending frame stays intact; another port's event is not ours.
    if (flag_rx != 0U || huart->Instance != uartdatosreg) return;
    // After an idle event the platform has already ended reception and this changes nothing; after the
    // half-buffer event it stops the stream before the next character (1 ms away) can be stored.
    (void)HAL_UART_DMAStop(&uartdatos);
    num_datos = Size;
    flag_rx = 1;
}
