// Busy waits on the core's cycle counter (DWT CYCCNT): microseconds for the 1-Wire slots, milliseconds
// for the pause of the report cycle. The counter runs at the core clock, so at 100 MHz one cycle is
// 10 ns and a 1 us wait is 100 cycles. Each wait writes the counter to 0 first: the counter belongs to
// this module, and waits must not nest or run from an interrupt handler.
#pragma once

#include <stdint.h>

// Core cycles per microsecond (100 at 100 MHz); 0 until delay_us_dwt_init has run.
extern uint32_t pasos;

// Powers the trace unit (DEMCR.TRCENA), starts the cycle counter (DWT_CTRL.CYCCNTENA) and sets `pasos`
// from the core clock. Call once, after the clock configuration, before any wait.
void delay_us_dwt_init(void);
// Waits at least `reta` microseconds: returns once the counter exceeds reta * pasos. The product is
// 32-bit: at 100 MHz the longest wait is 42 949 672 us.
void delay_us_dwt(uint32_t reta);
// Waits at least `ms` milliseconds (ms * 1000 microseconds, 32-bit).
void Delay_ms(uint32_t ms);

// Other names for the same operations.
#define delay_init delay_us_dwt_init
#define Delay_us delay_us_dwt
#define delay_us Delay_us
#define delay_ms Delay_ms
#define Delay_init delay_init
#define Delay_Init delay_init
#define delay_Init delay_init
