#include "uart.h"

void uartx_write(UART_HandleTypeDef* huart, uint8_t ch)
{
    (void)HAL_UART_Transmit(huart, &ch, 1, 0xFFFF);
}

void uartx_write_text(UART_HandleTypeDef* huart, const uint8_t* info)
{
    if (info == NULL) return;  // nothing to send, as for an empty string
    for (; *info != 0U; ++info) uartx_write(huart, *info);
}

void uartx_write_text(UART_HandleTypeDef* huart, const char* info)
{
    uartx_write_text(huart, reinterpret_cast<const uint8_t*>(info));
}
