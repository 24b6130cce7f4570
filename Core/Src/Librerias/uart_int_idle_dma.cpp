#include "uart_int_idle_dma.h"

uint8_t trama_rx[trama_size];
volatile uint8_t flag_rx;
uint16_t num_datos;
char procesa[100];
