// Blocking transmission on any serial port: one byte, or a NUL-terminated string byte by byte. There is
// no buffer, queue or interrupt: each call returns once its bytes have left the line (one character of
// 8N1 at 9600 baud is 1.0417 ms). Thread level only (the platform's time-out runs on the tick).
#pragma once

#include <stdint.h>

#include "main.h"

// Sends `ch`; a failure or a time-out (65535 ms) is ignored.
void uartx_write(UART_HandleTypeDef* huart, uint8_t ch);
// Sends the characters of `info` up to, not including, its NUL, as unsigned bytes, each with its own
// call of uartx_write. An empty string sends nothing.
void uartx_write_text(UART_HandleTypeDef* huart, const uint8_t* info);
void uartx_write_text(UART_HandleTypeDef* huart, const char* info);
