// The Cortex-M4's interrupt controller (NVIC), the system handler priorities in the SCB, and the
// SysTick timer, as the ARMv7-M architecture defines them.
//
// The STM32F411 implements four priority bits, the top nibble of each 8-bit priority field: a priority p
// (0 highest, 15 lowest) is stored as p * 16. The priority grouping (AIRCR PRIGROUP) splits those bits
// into pre-emption priority, which decides nesting, and sub-priority, which only orders pending ones.
#pragma once

#include <stdint.h>

#include "stm32f4xx.h"

// Values of PRIGROUP: how many of the four implemented bits are pre-emption priority.
#define NVIC_PRIORITYGROUP_0 0x00000007U  // 0 bits pre-emption, 4 bits sub-priority
#define NVIC_PRIORITYGROUP_1 0x00000006U  // 1 bit pre-emption, 3 bits sub-priority
#define NVIC_PRIORITYGROUP_2 0x00000005U  // 2 bits pre-emption, 2 bits sub-priority
#define NVIC_PRIORITYGROUP_3 0x00000004U  // 3 bits pre-emption, 1 bit sub-priority
#define NVIC_PRIORITYGROUP_4 0x00000003U  // 4 bits pre-emption, no sub-priority

// Core helpers. Any context, but the node calls them only during initialisation at thread level.
void NVIC_SetPriorityGrouping(uint32_t PriorityGroup);
uint32_t NVIC_GetPriorityGrouping(void);
// `priority` is the value of the implemented bits (0..15); system handlers (negative IRQn) go to the
// SCB's handler priority bytes, device interrupts to the NVIC's.
void NVIC_SetPriority(IRQn_Type IRQn, uint32_t priority);
uint32_t NVIC_GetPriority(IRQn_Type IRQn);
// Device interrupts only; a negative IRQn is ignored.
void NVIC_EnableIRQ(IRQn_Type IRQn);
void NVIC_DisableIRQ(IRQn_Type IRQn);
// Device interrupts only: makes the interrupt pending as if its line had been raised (ISPR).
void NVIC_SetPendingIRQ(IRQn_Type IRQn);
// Packs a pre-emption and a sub-priority into the implemented bits for the grouping given.
uint32_t NVIC_EncodePriority(uint32_t PriorityGroup, uint32_t PreemptPriority, uint32_t SubPriority);
// 0 on success; 1, with nothing changed, if ticks - 1 does not fit the 24-bit reload register.
uint32_t SysTick_Config(uint32_t ticks);

// Platform operations.
void HAL_NVIC_SetPriorityGrouping(uint32_t PriorityGroup);
void HAL_NVIC_SetPriority(IRQn_Type IRQn, uint32_t PreemptPriority, uint32_t SubPriority);
void HAL_NVIC_EnableIRQ(IRQn_Type IRQn);
void HAL_NVIC_DisableIRQ(IRQn_Type IRQn);
uint32_t HAL_SYSTICK_Config(uint32_t TicksNumb);
