// The interrupt and fault handlers the board defines; every other entry of the vector table stays
// Default_Handler. Their names are the vector table's, so they have C linkage.
#pragma once

extern "C" {
void NMI_Handler(void);
void HardFault_Handler(void);
void MemManage_Handler(void);
void BusFault_Handler(void);
void UsageFault_Handler(void);
void SVC_Handler(void);
void DebugMon_Handler(void);
void PendSV_Handler(void);
void SysTick_Handler(void);
void USART1_IRQHandler(void);
void DMA2_Stream2_IRQHandler(void);
}
