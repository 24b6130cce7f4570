// What runs before memory is initialised, and the clock figures the platform's queries read.
#include "system_stm32f4xx.h"

#include "stm32f4xx.h"

extern "C" {

// The chip starts on its 16 MHz internal RC oscillator; the clock configuration updates this.
uint32_t SystemCoreClock = 16000000U;

const uint8_t AHBPrescTable[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
const uint8_t APBPrescTable[8] = {0, 0, 0, 0, 1, 2, 3, 4};

// Full access to the FPU (CP10 and CP11, CPACR bits 20 to 23) before any floating-point instruction.
// Runs before the data sections are initialised, so it touches no global. The vector table stays at
// its boot address and SystemCoreClock is not recomputed.
void SystemInit(void)
{
    SCB->CPACR |= SCB_CPACR_CP10_CP11_Msk;
}
}
