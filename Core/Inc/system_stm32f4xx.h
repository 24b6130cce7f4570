// Core clock variable, prescaler shift tables and the FPU enable run from reset.
#pragma once

#include <stdint.h>

extern "C" {
extern uint32_t SystemCoreClock;         // Hz: 16000000 from reset, 100000000 after the clock configuration
extern const uint8_t AHBPrescTable[16];  // right shift applied by each AHB prescaler code
extern const uint8_t APBPrescTable[8];   // right shift applied by each APB prescaler code
void SystemInit(void);
}
