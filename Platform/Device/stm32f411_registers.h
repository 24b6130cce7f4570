// Register map of the STM32F411 blocks this node touches, and of the Cortex-M4 core's system blocks.
// Offsets and bit positions are the reference manual's and the ARMv7-M architecture's; every block's
// layout is checked against its offsets below, so a missing or extra word cannot shift a register.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "device_register.h"

// ---------------------------------------------------------------------------------------------------
// Interrupt numbers: system exceptions negative, device interrupts 0..85 (vector 16 + n).
typedef enum {
    NonMaskableInt_IRQn = -14,
    HardFault_IRQn = -13,
    MemoryManagement_IRQn = -12,
    BusFault_IRQn = -11,
    UsageFault_IRQn = -10,
    SVCall_IRQn = -5,
    DebugMonitor_IRQn = -4,
    PendSV_IRQn = -2,
    SysTick_IRQn = -1,
    WWDG_IRQn = 0,
    FLASH_IRQn = 4,
    RCC_IRQn = 5,
    EXTI0_IRQn = 6,
    TIM2_IRQn = 28,
    USART1_IRQn = 37,
    USART2_IRQn = 38,
    EXTI15_10_IRQn = 40,
    DMA2_Stream0_IRQn = 56,
    DMA2_Stream1_IRQn = 57,
    DMA2_Stream2_IRQn = 58,
    USART6_IRQn = 71,
    FPU_IRQn = 81,
    SPI5_IRQn = 85,
} IRQn_Type;

#define NODE_IRQ_COUNT 86U
#define __NVIC_PRIO_BITS 4U

// ---------------------------------------------------------------------------------------------------
// Peripheral blocks.

typedef struct {
    reg32_t CR1, CR2, SMCR, DIER, SR, EGR, CCMR1, CCMR2, CCER, CNT, PSC, ARR, RCR;
    reg32_t CCR1, CCR2, CCR3, CCR4, BDTR, DCR, DMAR, OR;
} TIM_TypeDef;

typedef struct {
    reg32_t SR, DR, BRR, CR1, CR2, CR3, GTPR;
} USART_TypeDef;

typedef struct {
    reg32_t CR, CSR;
} PWR_TypeDef;

typedef struct {
    reg32_t MEMRMP, PMC;
    reg32_t EXTICR[4];
    reg32_t RESERVED[2];
    reg32_t CMPCR;
} SYSCFG_TypeDef;

typedef struct {
    reg32_t MODER, OTYPER, OSPEEDR, PUPDR, IDR, ODR, BSRR, LCKR;
    reg32_t AFR[2];
} GPIO_TypeDef;

typedef struct {
    reg32_t CR, PLLCFGR, CFGR, CIR, AHB1RSTR, AHB2RSTR;
    reg32_t RESERVED0[2];
    reg32_t APB1RSTR, APB2RSTR;
    reg32_t RESERVED1[2];
    reg32_t AHB1ENR, AHB2ENR;
    reg32_t RESERVED2[2];
    reg32_t APB1ENR, APB2ENR;
    reg32_t RESERVED3[2];
    reg32_t AHB1LPENR, AHB2LPENR;
    reg32_t RESERVED4[2];
    reg32_t APB1LPENR, APB2LPENR;
    reg32_t RESERVED5[2];
    reg32_t BDCR, CSR;
    reg32_t RESERVED6[2];
    reg32_t SSCGR, PLLI2SCFGR;
    reg32_t RESERVED7;
    reg32_t DCKCFGR;
} RCC_TypeDef;

typedef struct {
    reg32_t ACR, KEYR, OPTKEYR, SR, CR, OPTCR;
} FLASH_TypeDef;

typedef struct {
    reg32_t KR, PR, RLR, SR;
} IWDG_TypeDef;

typedef struct {
    reg32_t IDCODE, CR, APB1FZ, APB2FZ;
} DBGMCU_TypeDef;

typedef struct {
    reg32_t CR, NDTR, PAR, M0AR, M1AR, FCR;
} DMA_Stream_TypeDef;

typedef struct {
    reg32_t LISR, HISR, LIFCR, HIFCR;
} DMA_TypeDef;

// ---------------------------------------------------------------------------------------------------
// Core system blocks.

typedef struct {
    reg32_t CTRL, LOAD, VAL, CALIB;
} SysTick_Type;

typedef struct {
    reg32_t ISER[8];
    reg32_t RESERVED0[24];
    reg32_t ICER[8];
    reg32_t RESERVED1[24];
    reg32_t ISPR[8];
    reg32_t RESERVED2[24];
    reg32_t ICPR[8];
    reg32_t RESERVED3[24];
    reg32_t IABR[8];
    reg32_t RESERVED4[56];
    reg8_t IP[240];  // one byte per interrupt; the four implemented bits are the top nibble
    reg32_t RESERVED5[644];
    reg32_t STIR;
} NVIC_Type;

typedef struct {
    reg32_t CPUID, ICSR, VTOR, AIRCR, SCR, CCR;
    reg8_t SHPR[12];  // system handlers 4..15, one byte each; SysTick's is SHPR[11]
    reg32_t SHCSR, CFSR, HFSR, DFSR, MMFAR, BFAR, AFSR;
    reg32_t PFR[2];
    reg32_t DFR, ADR;
    reg32_t MMFR[4];
    reg32_t ISAR[5];
    reg32_t RESERVED0[5];
    reg32_t CPACR;
} SCB_Type;

typedef struct {
    reg32_t DHCSR, DCRSR, DCRDR, DEMCR;
} CoreDebug_Type;

typedef struct {
    reg32_t CTRL, CYCCNT, CPICNT, EXCCNT, SLEEPCNT, LSUCNT, FOLDCNT, PCSR;
} DWT_Type;

#define NODE_CHECK_OFFSET(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " is not at " #offset)

NODE_CHECK_OFFSET(TIM_TypeDef, CCMR1, 0x18);
NODE_CHECK_OFFSET(TIM_TypeDef, CCER, 0x20);
NODE_CHECK_OFFSET(TIM_TypeDef, ARR, 0x2C);
NODE_CHECK_OFFSET(TIM_TypeDef, CCR1, 0x34);
NODE_CHECK_OFFSET(TIM_TypeDef, CCR4, 0x40);
NODE_CHECK_OFFSET(TIM_TypeDef, OR, 0x50);
NODE_CHECK_OFFSET(USART_TypeDef, BRR, 0x08);
NODE_CHECK_OFFSET(USART_TypeDef, CR3, 0x14);
NODE_CHECK_OFFSET(USART_TypeDef, GTPR, 0x18);
NODE_CHECK_OFFSET(PWR_TypeDef, CSR, 0x04);
NODE_CHECK_OFFSET(SYSCFG_TypeDef, EXTICR, 0x08);
NODE_CHECK_OFFSET(SYSCFG_TypeDef, CMPCR, 0x20);
NODE_CHECK_OFFSET(GPIO_TypeDef, IDR, 0x10);
NODE_CHECK_OFFSET(GPIO_TypeDef, BSRR, 0x18);
NODE_CHECK_OFFSET(GPIO_TypeDef, AFR, 0x20);
NODE_CHECK_OFFSET(RCC_TypeDef, CFGR, 0x08);
NODE_CHECK_OFFSET(RCC_TypeDef, APB1RSTR, 0x20);
NODE_CHECK_OFFSET(RCC_TypeDef, AHB1ENR, 0x30);
NODE_CHECK_OFFSET(RCC_TypeDef, APB1ENR, 0x40);
NODE_CHECK_OFFSET(RCC_TypeDef, APB2ENR, 0x44);
NODE_CHECK_OFFSET(RCC_TypeDef, BDCR, 0x70);
NODE_CHECK_OFFSET(RCC_TypeDef, DCKCFGR, 0x8C);
NODE_CHECK_OFFSET(FLASH_TypeDef, OPTCR, 0x14);
NODE_CHECK_OFFSET(RCC_TypeDef, CSR, 0x74);
NODE_CHECK_OFFSET(IWDG_TypeDef, SR, 0x0C);
NODE_CHECK_OFFSET(DBGMCU_TypeDef, APB1FZ, 0x08);
NODE_CHECK_OFFSET(DMA_Stream_TypeDef, FCR, 0x14);
NODE_CHECK_OFFSET(DMA_TypeDef, HIFCR, 0x0C);
NODE_CHECK_OFFSET(SysTick_Type, CALIB, 0x0C);
NODE_CHECK_OFFSET(NVIC_Type, ICER, 0x080);
NODE_CHECK_OFFSET(NVIC_Type, ISPR, 0x100);
NODE_CHECK_OFFSET(NVIC_Type, ICPR, 0x180);
NODE_CHECK_OFFSET(NVIC_Type, IABR, 0x200);
NODE_CHECK_OFFSET(NVIC_Type, IP, 0x300);
NODE_CHECK_OFFSET(NVIC_Type, STIR, 0xE00);
NODE_CHECK_OFFSET(SCB_Type, AIRCR, 0x0C);
NODE_CHECK_OFFSET(SCB_Type, SHPR, 0x18);
NODE_CHECK_OFFSET(SCB_Type, SHCSR, 0x24);
NODE_CHECK_OFFSET(SCB_Type, CPACR, 0x88);
NODE_CHECK_OFFSET(CoreDebug_Type, DEMCR, 0x0C);
NODE_CHECK_OFFSET(DWT_Type, CYCCNT, 0x04);

// ---------------------------------------------------------------------------------------------------
// Addresses.

#define FLASH_BASE 0x08000000UL
#define FLASH_END 0x0807FFFFUL
#define SRAM1_BASE 0x20000000UL
#define PERIPH_BASE 0x40000000UL
#define TIM2_BASE 0x40000000UL
#define USART2_BASE 0x40004400UL
#define IWDG_BASE 0x40003000UL
#define PWR_BASE 0x40007000UL
#define USART1_BASE 0x40011000UL
#define USART6_BASE 0x40011400UL
#define SYSCFG_BASE 0x40013800UL
#define GPIOA_BASE 0x40020000UL
#define GPIOB_BASE 0x40020400UL
#define GPIOC_BASE 0x40020800UL
#define GPIOH_BASE 0x40021C00UL
#define RCC_BASE 0x40023800UL
#define FLASH_R_BASE 0x40023C00UL
#define DMA1_BASE 0x40026000UL
#define DMA2_BASE 0x40026400UL
#define DMA2_Stream0_BASE (DMA2_BASE + 0x010UL)
#define DMA2_Stream2_BASE (DMA2_BASE + 0x040UL)
#define DWT_BASE 0xE0001000UL
#define SysTick_BASE 0xE000E010UL
#define NVIC_BASE 0xE000E100UL
#define SCB_BASE 0xE000ED00UL
#define CoreDebug_BASE 0xE000EDF0UL
#define DBGMCU_BASE 0xE0042000UL

#define TIM2 DEVICE_BLOCK(TIM_TypeDef, TIM2_BASE)
#define USART2 DEVICE_BLOCK(USART_TypeDef, USART2_BASE)
#define IWDG DEVICE_BLOCK(IWDG_TypeDef, IWDG_BASE)
#define PWR DEVICE_BLOCK(PWR_TypeDef, PWR_BASE)
#define USART1 DEVICE_BLOCK(USART_TypeDef, USART1_BASE)
#define USART6 DEVICE_BLOCK(USART_TypeDef, USART6_BASE)
#define SYSCFG DEVICE_BLOCK(SYSCFG_TypeDef, SYSCFG_BASE)
#define GPIOA DEVICE_BLOCK(GPIO_TypeDef, GPIOA_BASE)
#define GPIOB DEVICE_BLOCK(GPIO_TypeDef, GPIOB_BASE)
#define GPIOC DEVICE_BLOCK(GPIO_TypeDef, GPIOC_BASE)
#define GPIOH DEVICE_BLOCK(GPIO_TypeDef, GPIOH_BASE)
#define RCC DEVICE_BLOCK(RCC_TypeDef, RCC_BASE)
#define FLASH DEVICE_BLOCK(FLASH_TypeDef, FLASH_R_BASE)
#define DMA1 DEVICE_BLOCK(DMA_TypeDef, DMA1_BASE)
#define DMA2 DEVICE_BLOCK(DMA_TypeDef, DMA2_BASE)
#define DMA2_Stream2 DEVICE_BLOCK(DMA_Stream_TypeDef, DMA2_Stream2_BASE)
#define DWT DEVICE_BLOCK(DWT_Type, DWT_BASE)
#define SysTick DEVICE_BLOCK(SysTick_Type, SysTick_BASE)
#define NVIC DEVICE_BLOCK(NVIC_Type, NVIC_BASE)
#define SCB DEVICE_BLOCK(SCB_Type, SCB_BASE)
#define CoreDebug DEVICE_BLOCK(CoreDebug_Type, CoreDebug_BASE)
#define DBGMCU DEVICE_BLOCK(DBGMCU_TypeDef, DBGMCU_BASE)

// Stream x of a DMA controller: its registers start at 0x10 + 0x18 * x from the controller's base.
#define DMA2_STREAM(x) DEVICE_BLOCK(DMA_Stream_TypeDef, DMA2_BASE + 0x10UL + 0x18UL * (x))

// ---------------------------------------------------------------------------------------------------
// Bits.

#define NODE_BIT(n) (1UL << (n))

// RCC
#define RCC_CR_HSION NODE_BIT(0)
#define RCC_CR_HSIRDY NODE_BIT(1)
#define RCC_CR_HSEON NODE_BIT(16)
#define RCC_CR_HSERDY NODE_BIT(17)
#define RCC_CR_HSEBYP NODE_BIT(18)
#define RCC_CR_CSSON NODE_BIT(19)
#define RCC_CR_PLLON NODE_BIT(24)
#define RCC_CR_PLLRDY NODE_BIT(25)
#define RCC_PLLCFGR_PLLM_Pos 0U
#define RCC_PLLCFGR_PLLM 0x3FUL
#define RCC_PLLCFGR_PLLN_Pos 6U
#define RCC_PLLCFGR_PLLN (0x1FFUL << 6)
#define RCC_PLLCFGR_PLLP_Pos 16U
#define RCC_PLLCFGR_PLLP (0x3UL << 16)
#define RCC_PLLCFGR_PLLSRC NODE_BIT(22)
#define RCC_PLLCFGR_PLLQ_Pos 24U
#define RCC_PLLCFGR_PLLQ (0xFUL << 24)
#define RCC_CFGR_SW 0x3UL
#define RCC_CFGR_SWS_Pos 2U
#define RCC_CFGR_SWS (0x3UL << 2)
#define RCC_CFGR_HPRE_Pos 4U
#define RCC_CFGR_HPRE (0xFUL << 4)
#define RCC_CFGR_PPRE1_Pos 10U
#define RCC_CFGR_PPRE1 (0x7UL << 10)
#define RCC_CFGR_PPRE2_Pos 13U
#define RCC_CFGR_PPRE2 (0x7UL << 13)
#define RCC_AHB1ENR_GPIOAEN NODE_BIT(0)
#define RCC_AHB1ENR_GPIOBEN NODE_BIT(1)
#define RCC_AHB1ENR_GPIOCEN NODE_BIT(2)
#define RCC_AHB1ENR_GPIOHEN NODE_BIT(7)
#define RCC_AHB1ENR_DMA1EN NODE_BIT(21)
#define RCC_AHB1ENR_DMA2EN NODE_BIT(22)
#define RCC_APB1ENR_TIM2EN NODE_BIT(0)
#define RCC_APB1ENR_USART2EN NODE_BIT(17)
#define RCC_APB1ENR_PWREN NODE_BIT(28)
#define RCC_APB2ENR_USART1EN NODE_BIT(4)
#define RCC_APB2ENR_SYSCFGEN NODE_BIT(14)

// PWR, FLASH
#define PWR_CR_VOS_Pos 14U
#define PWR_CR_VOS (0x3UL << 14)
#define PWR_CSR_VOSRDY NODE_BIT(14)
#define FLASH_ACR_LATENCY 0xFUL
#define FLASH_ACR_PRFTEN NODE_BIT(8)
#define FLASH_ACR_ICEN NODE_BIT(9)
#define FLASH_ACR_DCEN NODE_BIT(10)
#define FLASH_ACR_ICRST NODE_BIT(11)
#define FLASH_ACR_DCRST NODE_BIT(12)

// USART
#define USART_SR_PE NODE_BIT(0)
#define USART_SR_FE NODE_BIT(1)
#define USART_SR_NE NODE_BIT(2)
#define USART_SR_ORE NODE_BIT(3)
#define USART_SR_IDLE NODE_BIT(4)
#define USART_SR_RXNE NODE_BIT(5)
#define USART_SR_TC NODE_BIT(6)
#define USART_SR_TXE NODE_BIT(7)
#define USART_SR_LBD NODE_BIT(8)
#define USART_SR_CTS NODE_BIT(9)
#define USART_BRR_DIV_Mantissa_Pos 4U
#define USART_CR1_SBK NODE_BIT(0)
#define USART_CR1_RWU NODE_BIT(1)
#define USART_CR1_RE NODE_BIT(2)
#define USART_CR1_TE NODE_BIT(3)
#define USART_CR1_IDLEIE NODE_BIT(4)
#define USART_CR1_RXNEIE NODE_BIT(5)
#define USART_CR1_TCIE NODE_BIT(6)
#define USART_CR1_TXEIE NODE_BIT(7)
#define USART_CR1_PEIE NODE_BIT(8)
#define USART_CR1_PS NODE_BIT(9)
#define USART_CR1_PCE NODE_BIT(10)
#define USART_CR1_WAKE NODE_BIT(11)
#define USART_CR1_M NODE_BIT(12)
#define USART_CR1_UE NODE_BIT(13)
#define USART_CR1_OVER8 NODE_BIT(15)
#define USART_CR2_CLKEN NODE_BIT(11)
#define USART_CR2_STOP_Pos 12U
#define USART_CR2_STOP (0x3UL << 12)
#define USART_CR2_LINEN NODE_BIT(14)
#define USART_CR3_EIE NODE_BIT(0)
#define USART_CR3_IREN NODE_BIT(1)
#define USART_CR3_HDSEL NODE_BIT(3)
#define USART_CR3_SCEN NODE_BIT(5)
#define USART_CR3_DMAR NODE_BIT(6)
#define USART_CR3_DMAT NODE_BIT(7)
#define USART_CR3_RTSE NODE_BIT(8)
#define USART_CR3_CTSE NODE_BIT(9)
#define USART_CR3_CTSIE NODE_BIT(10)
#define USART_CR3_ONEBIT NODE_BIT(11)

// DMA stream
#define DMA_SxCR_EN NODE_BIT(0)
#define DMA_SxCR_DMEIE NODE_BIT(1)
#define DMA_SxCR_TEIE NODE_BIT(2)
#define DMA_SxCR_HTIE NODE_BIT(3)
#define DMA_SxCR_TCIE NODE_BIT(4)
#define DMA_SxCR_PFCTRL NODE_BIT(5)
#define DMA_SxCR_DIR_Pos 6U
#define DMA_SxCR_DIR (0x3UL << 6)
#define DMA_SxCR_CIRC NODE_BIT(8)
#define DMA_SxCR_PINC NODE_BIT(9)
#define DMA_SxCR_MINC NODE_BIT(10)
#define DMA_SxCR_PSIZE_Pos 11U
#define DMA_SxCR_PSIZE (0x3UL << 11)
#define DMA_SxCR_MSIZE_Pos 13U
#define DMA_SxCR_MSIZE (0x3UL << 13)
#define DMA_SxCR_PINCOS NODE_BIT(15)
#define DMA_SxCR_PL_Pos 16U
#define DMA_SxCR_PL (0x3UL << 16)
#define DMA_SxCR_DBM NODE_BIT(18)
#define DMA_SxCR_CT NODE_BIT(19)
#define DMA_SxCR_PBURST_Pos 21U
#define DMA_SxCR_PBURST (0x3UL << 21)
#define DMA_SxCR_MBURST_Pos 23U
#define DMA_SxCR_MBURST (0x3UL << 23)
#define DMA_SxCR_CHSEL_Pos 25U
#define DMA_SxCR_CHSEL (0x7UL << 25)
#define DMA_SxFCR_FTH 0x3UL
#define DMA_SxFCR_DMDIS NODE_BIT(2)
#define DMA_SxFCR_FS (0x7UL << 3)
#define DMA_SxFCR_FEIE NODE_BIT(7)
// Flag bits of one stream, relative to the stream's field in LISR/HISR (streams 0 and 4 at bit 0,
// 1 and 5 at bit 6, 2 and 6 at bit 16, 3 and 7 at bit 22).
#define DMA_FLAG_FEIF 0x01UL
#define DMA_FLAG_DMEIF 0x04UL
#define DMA_FLAG_TEIF 0x08UL
#define DMA_FLAG_HTIF 0x10UL
#define DMA_FLAG_TCIF 0x20UL
// All five flags of a stream (bit 1 of each field is reserved).
#define DMA_FLAG_ALL 0x3DUL
#define DMA_LISR_FEIF2 NODE_BIT(16)
#define DMA_LISR_DMEIF2 NODE_BIT(18)
#define DMA_LISR_TEIF2 NODE_BIT(19)
#define DMA_LISR_HTIF2 NODE_BIT(20)
#define DMA_LISR_TCIF2 NODE_BIT(21)

// TIM
#define TIM_CR1_CEN NODE_BIT(0)
#define TIM_CR1_UDIS NODE_BIT(1)
#define TIM_CR1_URS NODE_BIT(2)
#define TIM_CR1_OPM NODE_BIT(3)
#define TIM_CR1_DIR NODE_BIT(4)
#define TIM_CR1_CMS (0x3UL << 5)
#define TIM_CR1_ARPE NODE_BIT(7)
#define TIM_CR1_CKD (0x3UL << 8)
#define TIM_CR2_MMS (0x7UL << 4)
#define TIM_SMCR_SMS 0x7UL
#define TIM_SMCR_TS (0x7UL << 4)
#define TIM_SMCR_MSM NODE_BIT(7)
#define TIM_SMCR_ETF (0xFUL << 8)
#define TIM_SMCR_ETPS (0x3UL << 12)
#define TIM_SMCR_ECE NODE_BIT(14)
#define TIM_SMCR_ETP NODE_BIT(15)
#define TIM_SR_UIF NODE_BIT(0)
#define TIM_SR_CC1IF NODE_BIT(1)
#define TIM_EGR_UG NODE_BIT(0)
#define TIM_CCMR1_CC1S 0x3UL
#define TIM_CCMR1_OC1FE NODE_BIT(2)
#define TIM_CCMR1_OC1PE NODE_BIT(3)
#define TIM_CCMR1_OC1M_Pos 4U
#define TIM_CCMR1_OC1M (0x7UL << 4)
#define TIM_CCMR1_OC1CE NODE_BIT(7)
#define TIM_CCER_CC1E NODE_BIT(0)
#define TIM_CCER_CC1P NODE_BIT(1)
#define TIM_CCER_CC1NP NODE_BIT(3)

// GPIO: per-pin fields
#define GPIO_MODER_MODER0 0x3UL
#define GPIO_OTYPER_OT0 0x1UL
#define GPIO_OSPEEDR_OSPEED0 0x3UL
#define GPIO_PUPDR_PUPD0 0x3UL

// SysTick
#define SysTick_CTRL_ENABLE_Msk NODE_BIT(0)
#define SysTick_CTRL_TICKINT_Msk NODE_BIT(1)
#define SysTick_CTRL_CLKSOURCE_Msk NODE_BIT(2)
#define SysTick_CTRL_COUNTFLAG_Msk NODE_BIT(16)
#define SysTick_LOAD_RELOAD_Msk 0xFFFFFFUL

// SCB
#define SCB_ICSR_PENDSTSET_Msk NODE_BIT(26)
#define SCB_ICSR_PENDSVSET_Msk NODE_BIT(28)
#define SCB_AIRCR_VECTKEY_Pos 16U
#define SCB_AIRCR_VECTKEY_Msk (0xFFFFUL << 16)
#define SCB_AIRCR_VECTKEY_VALUE 0x05FAUL
#define SCB_AIRCR_PRIGROUP_Pos 8U
#define SCB_AIRCR_PRIGROUP_Msk (0x7UL << 8)
#define SCB_AIRCR_SYSRESETREQ_Msk NODE_BIT(2)
#define SCB_CPACR_CP10_CP11_Msk (0xFUL << 20)

// Reset flags (RCC_CSR): every reset pulses NRST, so PINRSTF comes with each of the others.
#define RCC_CSR_LSION NODE_BIT(0)
#define RCC_CSR_LSIRDY NODE_BIT(1)
#define RCC_CSR_RMVF NODE_BIT(24)
#define RCC_CSR_BORRSTF NODE_BIT(25)
#define RCC_CSR_PINRSTF NODE_BIT(26)
#define RCC_CSR_PORRSTF NODE_BIT(27)
#define RCC_CSR_SFTRSTF NODE_BIT(28)
#define RCC_CSR_IWDGRSTF NODE_BIT(29)
#define RCC_CSR_WWDGRSTF NODE_BIT(30)
#define RCC_CSR_LPWRRSTF NODE_BIT(31)

// Independent watchdog: the keys written to KR, the prescaler (4 x 2^PR) and the update flags.
#define IWDG_KEY_RELOAD 0xAAAAUL
#define IWDG_KEY_ENABLE 0xCCCCUL
#define IWDG_KEY_WRITE_ACCESS_ENABLE 0x5555UL
#define IWDG_PR_PR 0x7UL
#define IWDG_RLR_RL 0xFFFUL
#define IWDG_SR_PVU NODE_BIT(0)
#define IWDG_SR_RVU NODE_BIT(1)

// Debug support: the watchdog stands still while a debugger halts the core.
#define DBGMCU_APB1_FZ_DBG_IWDG_STOP NODE_BIT(12)

// Core debug and the cycle counter
#define CoreDebug_DEMCR_TRCENA_Pos 24U
#define CoreDebug_DEMCR_TRCENA_Msk NODE_BIT(24)
#define DWT_CTRL_CYCCNTENA_Pos 0U
#define DWT_CTRL_CYCCNTENA_Msk NODE_BIT(0)
