// The node comes back by itself: the independent watchdog, the fault handlers' record and reset, and the
// report of why the node last started.
#pragma once

#include <stdint.h>

#include "stm32f4xx_hal.h"

// What a fault handler records before it resets the chip.
#define NODE_FAULT_NONE 0U
#define NODE_FAULT_HARDFAULT 1U
#define NODE_FAULT_NMI 2U
#define NODE_FAULT_MEMMANAGE 3U
#define NODE_FAULT_BUSFAULT 4U
#define NODE_FAULT_USAGEFAULT 5U

// Starts the watchdog with a timeout of 2500 x 128 / f_LSI: 6.8 s at the LSI's fastest (47 kHz), 10.0 s
// at its typical 32 kHz, 18.8 s at its slowest (17 kHz). The longest stretch between two refreshes is one
// report cycle, 4.83 s (5 ms of 1-Wire traffic, 801 ms of conversion wait, 36 ms of reports, 4 s of
// pause), so even the fastest LSI leaves 41 % more; a node stuck anywhere is reset within 10 s at the
// typical LSI, and reports again 0.84 s later. The watchdog stands still while a debugger halts the core.
void watchdog_start(void);
// Once per report cycle, in the main loop only.
void watchdog_refresh(void);

// Records `fault` in a word that the start-up leaves alone and asks the core for a system reset; does not
// return.
void fault_record_and_reset(uint32_t fault);

// Why the node started (RCC_CSR's flags, then cleared) and the fault recorded before it, if any, as one
// line such as "reset: watchdog\r\n" or "reset: software (hardfault)\r\n" into `line`. Reads and clears
// both: call it once after each start.
void reset_cause_text(char* line, uint32_t size);
