// The watchdog, the fault record and the reset cause.
#include "node_reset.h"

#include <stdio.h>

// A word of RAM that the start-up neither copies nor zeroes (.noinit): a fault handler's record survives
// the system reset it asks for. After a power-on it holds whatever the RAM came up with, so a record
// counts only with its marker in the top half.
#define FAULT_MARKER 0xFA170000UL
#define FAULT_MARKER_MASK 0xFFFF0000UL
static volatile uint32_t fault_record __attribute__((section(".noinit")));

// Prescaler /128 (PR 5) and a reload of 2499: see node_reset.h for the figures.
#define WATCHDOG_PRESCALER 5UL
#define WATCHDOG_RELOAD 2499UL

void watchdog_start(void)
{
    // Frozen while a debugger holds the core halted, so that a breakpoint does not reset the board.
    DBGMCU->APB1FZ = DBGMCU->APB1FZ | DBGMCU_APB1_FZ_DBG_IWDG_STOP;
    // Started first: that runs the LSI, which the new prescaler and reload need to reach the counter.
    IWDG->KR = IWDG_KEY_ENABLE;
    IWDG->KR = IWDG_KEY_WRITE_ACCESS_ENABLE;
    IWDG->PR = WATCHDOG_PRESCALER;
    IWDG->RLR = WATCHDOG_RELOAD;
    // Five LSI periods at most (0.3 ms at 17 kHz); the reset default (0.5 s at 32 kHz) guards the wait.
    while ((IWDG->SR & (IWDG_SR_PVU | IWDG_SR_RVU)) != 0U) {}
    IWDG->KR = IWDG_KEY_RELOAD;
}

void watchdog_refresh(void)
{
    IWDG->KR = IWDG_KEY_RELOAD;
}

void fault_record_and_reset(uint32_t fault)
{
    fault_record = FAULT_MARKER | fault;
    __DSB();
    SCB->AIRCR = (SCB_AIRCR_VECTKEY_VALUE << SCB_AIRCR_VECTKEY_Pos) | SCB_AIRCR_SYSRESETREQ_Msk;
    __DSB();
    while (1) {
        __NOP();
    }
}

static const char* fault_name(uint32_t record)
{
    if ((record & FAULT_MARKER_MASK) != FAULT_MARKER) return 0;
    switch (record & ~FAULT_MARKER_MASK) {
        case NODE_FAULT_HARDFAULT:
            return "hardfault";
        case NODE_FAULT_NMI:
            return "nmi";
        case NODE_FAULT_MEMMANAGE:
            return "memmanage";
        case NODE_FAULT_BUSFAULT:
            return "busfault";
        case NODE_FAULT_USAGEFAULT:
            return "usagefault";
        default:
            return 0;
    }
}

// Every reset pulses NRST, so PINRSTF comes with each of the others: the pin is the cause only alone.
// A power-on sets BORRSTF too: a brown-out is BORRSTF without PORRSTF.
static const char* cause_name(uint32_t csr)
{
    if (csr & RCC_CSR_IWDGRSTF) return "watchdog";
    if (csr & RCC_CSR_SFTRSTF) return "software";
    if (csr & RCC_CSR_PORRSTF) return "power-on";
    if (csr & RCC_CSR_BORRSTF) return "brown-out";
    if (csr & RCC_CSR_PINRSTF) return "pin";
    return "unknown";
}

void reset_cause_text(char* line, uint32_t size)
{
    const uint32_t csr = RCC->CSR;
    RCC->CSR = csr | RCC_CSR_RMVF;
    const char* fault = fault_name(fault_record);
    fault_record = 0U;
    if (fault != 0)
        snprintf(line, size, "reset: %s (%s)\r\n", cause_name(csr), fault);
    else
        snprintf(line, size, "reset: %s\r\n", cause_name(csr));
}
