// Interrupt and fault handlers. The interrupt handlers do no work of their own: each hands over to the
// platform's driver with its fixed handle. A fault records itself in RAM that the start-up leaves alone
// and resets the chip, so that the node comes back by itself and says after its greeting what happened.
#include "stm32f4xx_it.h"

#include "main.h"
#include "node_reset.h"

extern "C" {

void NMI_Handler(void)
{
    fault_record_and_reset(NODE_FAULT_NMI);
}

void HardFault_Handler(void)
{
    fault_record_and_reset(NODE_FAULT_HARDFAULT);
}

// Memory-management, bus and usage faults are never enabled and escalate to HardFault; should one be
// enabled, it resets the same way.
void MemManage_Handler(void)
{
    fault_record_and_reset(NODE_FAULT_MEMMANAGE);
}

void BusFault_Handler(void)
{
    fault_record_and_reset(NODE_FAULT_BUSFAULT);
}

void UsageFault_Handler(void)
{
    fault_record_and_reset(NODE_FAULT_USAGEFAULT);
}

void SVC_Handler(void) {}

void DebugMon_Handler(void) {}

void PendSV_Handler(void) {}

// Every 1 ms at priority 15, the lowest.
void SysTick_Handler(void)
{
    HAL_IncTick();
}

// Priority 0: the idle line and receive errors of the dashboard's port.
void USART1_IRQHandler(void)
{
    HAL_UART_IRQHandler(&huart1);
}

// Priority 0, level with USART1: half and full buffer and errors of the port's receive stream.
void DMA2_Stream2_IRQHandler(void)
{
    HAL_DMA_IRQHandler(&hdma_usart1_rx);
}
}
