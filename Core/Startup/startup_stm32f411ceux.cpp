// Start-up of the STM32F411: the vector table at the start of flash and the catch-all handler.
//
// g_pfnVectors is 102 words: the initial stack pointer, the 15 system exceptions and the 86 interrupts
// of the STM32F411 (IRQ 0 to 85) in the reference manual's order; reserved positions hold 0. Every
// handler name is a weak alias of Default_Handler, so a module that defines a function of that name
// replaces it at link time, and an interrupt nobody handles ends in Default_Handler's endless loop.
// The same table serves the simulator, whose interrupt controller dispatches through it.
#include "stm32f4xx.h"

typedef void (*vector_entry)(void);

extern "C" {
extern unsigned int _estack;  // top of RAM, from the linker script
void Reset_Handler(void);
void Default_Handler(void);
void NMI_Handler(void) __attribute__((weak, alias("Default_Handler")));
void HardFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void MemManage_Handler(void) __attribute__((weak, alias("Default_Handler")));
void BusFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void UsageFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SVC_Handler(void) __attribute__((weak, alias("Default_Handler")));
void DebugMon_Handler(void) __attribute__((weak, alias("Default_Handler")));
void PendSV_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SysTick_Handler(void) __attribute__((weak, alias("Default_Handler")));
void WWDG_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void PVD_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TAMP_STAMP_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void RTC_WKUP_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void FLASH_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void RCC_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI0_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI1_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI2_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI3_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI4_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream0_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream1_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream2_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream3_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream4_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream5_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream6_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void ADC_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI9_5_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM1_BRK_TIM9_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM1_UP_TIM10_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM1_TRG_COM_TIM11_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM1_CC_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM2_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM3_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM4_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void I2C1_EV_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void I2C1_ER_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void I2C2_EV_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void I2C2_ER_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void SPI1_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void SPI2_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void USART1_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void USART2_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void EXTI15_10_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void RTC_Alarm_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void OTG_FS_WKUP_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA1_Stream7_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void SDIO_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void TIM5_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void SPI3_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream0_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream1_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream2_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream3_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream4_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void OTG_FS_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream5_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream6_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void DMA2_Stream7_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void USART6_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void I2C3_EV_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void I2C3_ER_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void FPU_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void SPI4_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));
void SPI5_IRQHandler(void) __attribute__((weak, alias("Default_Handler")));

// An interrupt or exception that nothing handles: the node stops here, at that exception's priority,
// until reset. The NOP lets the simulator see a core that spins without touching the hardware.
void Default_Handler(void)
{
    for (;;) {
        __NOP();
    }
}

extern const vector_entry g_pfnVectors[102];
__attribute__((section(".isr_vector"), used)) const vector_entry g_pfnVectors[102] = {
    reinterpret_cast<vector_entry>(&_estack),
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    MemManage_Handler,
    BusFault_Handler,
    UsageFault_Handler,
    0,  // reserved 7
    0,  // reserved 8
    0,  // reserved 9
    0,  // reserved 10
    SVC_Handler,
    DebugMon_Handler,
    0,  // reserved 13
    PendSV_Handler,
    SysTick_Handler,
    WWDG_IRQHandler,                // IRQ 0
    PVD_IRQHandler,                 // IRQ 1
    TAMP_STAMP_IRQHandler,          // IRQ 2
    RTC_WKUP_IRQHandler,            // IRQ 3
    FLASH_IRQHandler,               // IRQ 4
    RCC_IRQHandler,                 // IRQ 5
    EXTI0_IRQHandler,               // IRQ 6
    EXTI1_IRQHandler,               // IRQ 7
    EXTI2_IRQHandler,               // IRQ 8
    EXTI3_IRQHandler,               // IRQ 9
    EXTI4_IRQHandler,               // IRQ 10
    DMA1_Stream0_IRQHandler,        // IRQ 11
    DMA1_Stream1_IRQHandler,        // IRQ 12
    DMA1_Stream2_IRQHandler,        // IRQ 13
    DMA1_Stream3_IRQHandler,        // IRQ 14
    DMA1_Stream4_IRQHandler,        // IRQ 15
    DMA1_Stream5_IRQHandler,        // IRQ 16
    DMA1_Stream6_IRQHandler,        // IRQ 17
    ADC_IRQHandler,                 // IRQ 18
    0,                              // IRQ 19 reserved
    0,                              // IRQ 20 reserved
    0,                              // IRQ 21 reserved
    0,                              // IRQ 22 reserved
    EXTI9_5_IRQHandler,             // IRQ 23
    TIM1_BRK_TIM9_IRQHandler,       // IRQ 24
    TIM1_UP_TIM10_IRQHandler,       // IRQ 25
    TIM1_TRG_COM_TIM11_IRQHandler,  // IRQ 26
    TIM1_CC_IRQHandler,             // IRQ 27
    TIM2_IRQHandler,                // IRQ 28
    TIM3_IRQHandler,                // IRQ 29
    TIM4_IRQHandler,                // IRQ 30
    I2C1_EV_IRQHandler,             // IRQ 31
    I2C1_ER_IRQHandler,             // IRQ 32
    I2C2_EV_IRQHandler,             // IRQ 33
    I2C2_ER_IRQHandler,             // IRQ 34
    SPI1_IRQHandler,                // IRQ 35
    SPI2_IRQHandler,                // IRQ 36
    USART1_IRQHandler,              // IRQ 37
    USART2_IRQHandler,              // IRQ 38
    0,                              // IRQ 39 reserved
    EXTI15_10_IRQHandler,           // IRQ 40
    RTC_Alarm_IRQHandler,           // IRQ 41
    OTG_FS_WKUP_IRQHandler,         // IRQ 42
    0,                              // IRQ 43 reserved
    0,                              // IRQ 44 reserved
    0,                              // IRQ 45 reserved
    0,                              // IRQ 46 reserved
    DMA1_Stream7_IRQHandler,        // IRQ 47
    0,                              // IRQ 48 reserved
    SDIO_IRQHandler,                // IRQ 49
    TIM5_IRQHandler,                // IRQ 50
    SPI3_IRQHandler,                // IRQ 51
    0,                              // IRQ 52 reserved
    0,                              // IRQ 53 reserved
    0,                              // IRQ 54 reserved
    0,                              // IRQ 55 reserved
    DMA2_Stream0_IRQHandler,        // IRQ 56
    DMA2_Stream1_IRQHandler,        // IRQ 57
    DMA2_Stream2_IRQHandler,        // IRQ 58
    DMA2_Stream3_IRQHandler,        // IRQ 59
    DMA2_Stream4_IRQHandler,        // IRQ 60
    0,                              // IRQ 61 reserved
    0,                              // IRQ 62 reserved
    0,                              // IRQ 63 reserved
    0,                              // IRQ 64 reserved
    0,                              // IRQ 65 reserved
    0,                              // IRQ 66 reserved
    OTG_FS_IRQHandler,              // IRQ 67
    DMA2_Stream5_IRQHandler,        // IRQ 68
    DMA2_Stream6_IRQHandler,        // IRQ 69
    DMA2_Stream7_IRQHandler,        // IRQ 70
    USART6_IRQHandler,              // IRQ 71
    I2C3_EV_IRQHandler,             // IRQ 72
    I2C3_ER_IRQHandler,             // IRQ 73
    0,                              // IRQ 74 reserved
    0,                              // IRQ 75 reserved
    0,                              // IRQ 76 reserved
    0,                              // IRQ 77 reserved
    0,                              // IRQ 78 reserved
    0,                              // IRQ 79 reserved
    0,                              // IRQ 80 reserved
    FPU_IRQHandler,                 // IRQ 81
    0,                              // IRQ 82 reserved
    0,                              // IRQ 83 reserved
    SPI4_IRQHandler,                // IRQ 84
    SPI5_IRQHandler,                // IRQ 85
};
}  // extern "C"
