// Reception of one command frame at a time on the dashboard's port (USART1) into trama_rx by DMA,
// ended by an idle line (one character time of silence, 1.0417 ms at 9600 baud) or cut at 50 bytes by
// the half-buffer event, and handed to the main loop through flag_rx.
//
// Hand-over: the receive callback (interrupt context) stops reception, stores the length in num_datos
// and sets flag_rx to 1, last. The main loop reads trama_rx only while flag_rx is 1, clears the flag and
// then re-arms. While flag_rx is 1 no reception is armed and only the main loop touches these globals.
#pragma once

#include <stdint.h>

#include "main.h"

#define trama_size 100
#define uartdatos huart1
#define uartdatosreg USART1

extern uint8_t trama_rx[trama_size];  // the frame buffer, filled by DMA from its first byte on
extern volatile uint8_t flag_rx;      // 1: a frame is in trama_rx and reception is stopped
extern uint16_t num_datos;            // length of the last frame
extern char procesa[100];             // work buffer of the command interpretation

// Thread level. Arms the reception of one frame: clears the buffer and the port's stale receive flags.
void uartdat_it_idle_dma_init(void);
