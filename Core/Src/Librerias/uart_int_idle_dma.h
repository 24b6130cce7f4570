// Reception of one command frame at a time on the dashboard's port, ended by an idle line.
#pragma once

#include "main.h"

#define trama_size 100
#define uartdatos huart1
#define uartdatosreg USART1

extern uint8_t trama_rx[trama_size];  // the frame buffer, filled by DMA from its first byte on
extern volatile uint8_t flag_rx;      // 1: a frame is in trama_rx and reception is stopped
extern uint16_t num_datos;            // length of the last frame
extern char procesa[100];             // work buffer of the command interpretation
