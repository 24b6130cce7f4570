// The simulator's chip layout and its models' register descriptions against the firmware's register map:
// two entries of the same facts, written apart on purpose, that must agree wherever they overlap.
#include <gtest/gtest.h>

#include <cstddef>

#include "chip.h"
#include "soc_layout.h"
#include "stm32f4xx.h"

namespace {

using namespace sim;

TEST(SocLayout, BasesAndInterruptLinesAgreeWithTheFirmwaresMap)
{
    struct Pair {
        const soc::Block& block;
        uintptr_t firmware_base;
        int firmware_irq;  // -1: none
    };
    const Pair pairs[] = {
        {soc::kTim2, TIM2_BASE, TIM2_IRQn},
        {soc::kUsart1, USART1_BASE, USART1_IRQn},
        {soc::kUsart2, USART2_BASE, USART2_IRQn},
        {soc::kPwr, PWR_BASE, -1},
        {soc::kSyscfg, SYSCFG_BASE, -1},
        {soc::kGpioA, GPIOA_BASE, -1},
        {soc::kGpioB, GPIOB_BASE, -1},
        {soc::kGpioC, GPIOC_BASE, -1},
        {soc::kGpioH, GPIOH_BASE, -1},
        {soc::kRcc, RCC_BASE, -1},
        {soc::kFlash, FLASH_R_BASE, -1},
        {soc::kDma2, DMA2_BASE, DMA2_Stream0_IRQn},
        {soc::kDwt, DWT_BASE, -1},
        {soc::kSysTick, SysTick_BASE, -1},
        {soc::kNvic, NVIC_BASE, -1},
        {soc::kScb, SCB_BASE, -1},
        {soc::kCoreDebug, CoreDebug_BASE, -1},
        {soc::kIwdg, IWDG_BASE, -1},
        {soc::kDbgMcu, DBGMCU_BASE, -1},
    };
    EXPECT_EQ(std::size(pairs), soc::kBlocks.size()) << "a block of the layout is not checked";
    for (const Pair& p : pairs) {
        EXPECT_EQ(p.block.base, p.firmware_base) << p.block.name;
        EXPECT_EQ(p.block.irq(), p.firmware_irq) << p.block.name;
    }
    // The DMA2 streams the firmware names: stream 2 (the node's receive stream) and stream 0.
    EXPECT_EQ(soc::kDma2.irqs[0], DMA2_Stream0_IRQn);
    EXPECT_EQ(soc::kDma2.irqs[2], DMA2_Stream2_IRQn);
    EXPECT_EQ(soc::kDma2.base + 0x10U + 0x18U * 2U, DMA2_Stream2_BASE);
    EXPECT_EQ(soc::kIrqCount, static_cast<int>(NODE_IRQ_COUNT));
}

TEST(SocLayout, EveryBlockHasItsModelAndBlocksDoNotOverlap)
{
    Chip chip;
    chip.log().keep(true);
    for (const soc::Block* block : soc::kBlocks) {
        for (const soc::Block* other : soc::kBlocks) {
            if (other == block) continue;
            EXPECT_FALSE(block->base < other->base + other->size && other->base < block->base + block->size)
                << block->name << " overlaps " << other->name;
        }
    }
    // A read of each block's first word reaches a model: no "no model at this address" line.
    for (const soc::Block* block : soc::kBlocks) (void)chip.read(block->base + (block == &soc::kDwt ? 4U : 0U), 4);
    for (const std::string& line : chip.log().kept()) EXPECT_EQ(line.find("no model"), std::string::npos) << line;
}

// A model on no block of the layout, two on one block, or a block left without its model stop the chip's
// construction instead of leaving addresses that no model answers.
TEST(SocLayout, TheModelTableTakesOneModelPerBlockOfTheLayout)
{
    Log log;
    Exceptions exceptions;
    ModelTable table;
    EXPECT_THROW(
        Mapped<NvicBlock>(table, soc::Block{"NOWHERE", 0x50000000U, soc::kNvic.size, soc::Bus::Ahb1}, exceptions, log),
        std::logic_error);
    const Mapped<NvicBlock> nvic(table, soc::kNvic, exceptions, log);
    EXPECT_THROW(Mapped<NvicBlock>(table, soc::kNvic, exceptions, log), std::logic_error);
    EXPECT_THROW(table.check_complete(), std::logic_error);
}

TEST(SocLayout, RegisterOffsetsAndBitsAgreeWithTheFirmwaresMap)
{
    // USART
    EXPECT_EQ(usart_reg::kSr, offsetof(USART_TypeDef, SR));
    EXPECT_EQ(usart_reg::kDr, offsetof(USART_TypeDef, DR));
    EXPECT_EQ(usart_reg::kBrr, offsetof(USART_TypeDef, BRR));
    EXPECT_EQ(usart_reg::kCr1, offsetof(USART_TypeDef, CR1));
    EXPECT_EQ(usart_reg::kCr2, offsetof(USART_TypeDef, CR2));
    EXPECT_EQ(usart_reg::kCr3, offsetof(USART_TypeDef, CR3));
    EXPECT_EQ(usart_reg::kPe | usart_reg::kFe | usart_reg::kNe | usart_reg::kOre | usart_reg::kIdle,
              USART_SR_PE | USART_SR_FE | USART_SR_NE | USART_SR_ORE | USART_SR_IDLE);
    EXPECT_EQ(usart_reg::kRxne, USART_SR_RXNE);
    EXPECT_EQ(usart_reg::kTc, USART_SR_TC);
    EXPECT_EQ(usart_reg::kTxe, USART_SR_TXE);
    EXPECT_EQ(usart_reg::kLbd | usart_reg::kCts, USART_SR_LBD | USART_SR_CTS);
    EXPECT_EQ(usart_reg::kRe, USART_CR1_RE);
    EXPECT_EQ(usart_reg::kTe, USART_CR1_TE);
    EXPECT_EQ(usart_reg::kIdleie, USART_CR1_IDLEIE);
    EXPECT_EQ(usart_reg::kRxneie, USART_CR1_RXNEIE);
    EXPECT_EQ(usart_reg::kTcie, USART_CR1_TCIE);
    EXPECT_EQ(usart_reg::kTxeie, USART_CR1_TXEIE);
    EXPECT_EQ(usart_reg::kPeie, USART_CR1_PEIE);
    EXPECT_EQ(usart_reg::kPs, USART_CR1_PS);
    EXPECT_EQ(usart_reg::kPce, USART_CR1_PCE);
    EXPECT_EQ(usart_reg::kM, USART_CR1_M);
    EXPECT_EQ(usart_reg::kUe, USART_CR1_UE);
    EXPECT_EQ(usart_reg::kOver8, USART_CR1_OVER8);
    EXPECT_EQ(usart_reg::kEie, USART_CR3_EIE);
    EXPECT_EQ(usart_reg::kDmar, USART_CR3_DMAR);

    // DMA
    EXPECT_EQ(dma_reg::kCr, offsetof(DMA_Stream_TypeDef, CR));
    EXPECT_EQ(dma_reg::kNdtr, offsetof(DMA_Stream_TypeDef, NDTR));
    EXPECT_EQ(dma_reg::kPar, offsetof(DMA_Stream_TypeDef, PAR));
    EXPECT_EQ(dma_reg::kM0ar, offsetof(DMA_Stream_TypeDef, M0AR));
    EXPECT_EQ(dma_reg::kM1ar, offsetof(DMA_Stream_TypeDef, M1AR));
    EXPECT_EQ(dma_reg::kFcr, offsetof(DMA_Stream_TypeDef, FCR));
    EXPECT_EQ(dma_reg::kEn, DMA_SxCR_EN);
    EXPECT_EQ(dma_reg::kDmeie, DMA_SxCR_DMEIE);
    EXPECT_EQ(dma_reg::kTeie, DMA_SxCR_TEIE);
    EXPECT_EQ(dma_reg::kHtie, DMA_SxCR_HTIE);
    EXPECT_EQ(dma_reg::kTcie, DMA_SxCR_TCIE);
    EXPECT_EQ(dma_reg::kCirc, DMA_SxCR_CIRC);
    EXPECT_EQ(dma_reg::kPinc, DMA_SxCR_PINC);
    EXPECT_EQ(dma_reg::kMinc, DMA_SxCR_MINC);
    EXPECT_EQ(dma_reg::kPincos, DMA_SxCR_PINCOS);
    EXPECT_EQ(dma_reg::kDbm, DMA_SxCR_DBM);
    EXPECT_EQ(dma_reg::kCt, DMA_SxCR_CT);
    EXPECT_EQ(dma_reg::kDirField.mask(), DMA_SxCR_DIR);
    EXPECT_EQ(dma_reg::kPsize.mask(), DMA_SxCR_PSIZE);
    EXPECT_EQ(dma_reg::kChsel.mask(), DMA_SxCR_CHSEL);
    EXPECT_EQ(dma_reg::kFeie, DMA_SxFCR_FEIE);
    EXPECT_EQ(dma_reg::kDmdis, DMA_SxFCR_DMDIS);
    EXPECT_EQ(dma_reg::kFeif, DMA_FLAG_FEIF);
    EXPECT_EQ(dma_reg::kDmeif, DMA_FLAG_DMEIF);
    EXPECT_EQ(dma_reg::kTeif, DMA_FLAG_TEIF);
    EXPECT_EQ(dma_reg::kHtif, DMA_FLAG_HTIF);
    EXPECT_EQ(dma_reg::kTcif, DMA_FLAG_TCIF);
    EXPECT_EQ(dma_reg::kAllFlags, DMA_FLAG_ALL);
    EXPECT_EQ(dma_reg::kTcif << dma_reg::kFlagShift[2], DMA_LISR_TCIF2);
    EXPECT_EQ(dma_reg::kHtif << dma_reg::kFlagShift[2], DMA_LISR_HTIF2);

    // TIM2
    EXPECT_EQ(tim_reg::kCr1, offsetof(TIM_TypeDef, CR1));
    EXPECT_EQ(tim_reg::kSmcr, offsetof(TIM_TypeDef, SMCR));
    EXPECT_EQ(tim_reg::kDier, offsetof(TIM_TypeDef, DIER));
    EXPECT_EQ(tim_reg::kSr, offsetof(TIM_TypeDef, SR));
    EXPECT_EQ(tim_reg::kEgr, offsetof(TIM_TypeDef, EGR));
    EXPECT_EQ(tim_reg::kCcmr1, offsetof(TIM_TypeDef, CCMR1));
    EXPECT_EQ(tim_reg::kCcer, offsetof(TIM_TypeDef, CCER));
    EXPECT_EQ(tim_reg::kCnt, offsetof(TIM_TypeDef, CNT));
    EXPECT_EQ(tim_reg::kPsc, offsetof(TIM_TypeDef, PSC));
    EXPECT_EQ(tim_reg::kArr, offsetof(TIM_TypeDef, ARR));
    EXPECT_EQ(tim_reg::kCcr1, offsetof(TIM_TypeDef, CCR1));
    EXPECT_EQ(tim_reg::kCen, TIM_CR1_CEN);
    EXPECT_EQ(tim_reg::kUdis, TIM_CR1_UDIS);
    EXPECT_EQ(tim_reg::kUrs, TIM_CR1_URS);
    EXPECT_EQ(tim_reg::kOpm, TIM_CR1_OPM);
    EXPECT_EQ(tim_reg::kDir, TIM_CR1_DIR);
    EXPECT_EQ(tim_reg::kCms.mask(), TIM_CR1_CMS);
    EXPECT_EQ(tim_reg::kArpe, TIM_CR1_ARPE);
    EXPECT_EQ(tim_reg::kSms.mask(), TIM_SMCR_SMS);
    EXPECT_EQ(tim_reg::kUif, TIM_SR_UIF);
    EXPECT_EQ(tim_reg::cc_flag(0), TIM_SR_CC1IF);
    EXPECT_EQ(tim_reg::kUg, TIM_EGR_UG);
    EXPECT_EQ(tim_reg::kCc1s.mask(), TIM_CCMR1_CC1S);
    EXPECT_EQ(tim_reg::kOc1pe.mask(), TIM_CCMR1_OC1PE);
    EXPECT_EQ(tim_reg::kOc1m.mask(), TIM_CCMR1_OC1M);
    EXPECT_EQ(tim_reg::kOc1m.shift, TIM_CCMR1_OC1M_Pos);
    EXPECT_EQ(tim_reg::kCc1e, TIM_CCER_CC1E);
    EXPECT_EQ(tim_reg::kCc1p, TIM_CCER_CC1P);

    // GPIO
    EXPECT_EQ(gpio_reg::kModer, offsetof(GPIO_TypeDef, MODER));
    EXPECT_EQ(gpio_reg::kOtyper, offsetof(GPIO_TypeDef, OTYPER));
    EXPECT_EQ(gpio_reg::kOspeedr, offsetof(GPIO_TypeDef, OSPEEDR));
    EXPECT_EQ(gpio_reg::kPupdr, offsetof(GPIO_TypeDef, PUPDR));
    EXPECT_EQ(gpio_reg::kIdr, offsetof(GPIO_TypeDef, IDR));
    EXPECT_EQ(gpio_reg::kOdr, offsetof(GPIO_TypeDef, ODR));
    EXPECT_EQ(gpio_reg::kBsrr, offsetof(GPIO_TypeDef, BSRR));
    EXPECT_EQ(gpio_reg::kLckr, offsetof(GPIO_TypeDef, LCKR));
    EXPECT_EQ(gpio_reg::kAfrl, offsetof(GPIO_TypeDef, AFR));

    // IWDG, DBGMCU, the reset flags and SYSRESETREQ
    EXPECT_EQ(iwdg_reg::kKr, offsetof(IWDG_TypeDef, KR));
    EXPECT_EQ(iwdg_reg::kPr, offsetof(IWDG_TypeDef, PR));
    EXPECT_EQ(iwdg_reg::kRlr, offsetof(IWDG_TypeDef, RLR));
    EXPECT_EQ(iwdg_reg::kSr, offsetof(IWDG_TypeDef, SR));
    EXPECT_EQ(iwdg_reg::kKeyUnlock, IWDG_KEY_WRITE_ACCESS_ENABLE);
    EXPECT_EQ(iwdg_reg::kKeyReload, IWDG_KEY_RELOAD);
    EXPECT_EQ(iwdg_reg::kKeyStart, IWDG_KEY_ENABLE);
    EXPECT_EQ(iwdg_reg::kPvu, IWDG_SR_PVU);
    EXPECT_EQ(iwdg_reg::kRvu, IWDG_SR_RVU);
    EXPECT_EQ(iwdg_reg::kRlrReset, IWDG_RLR_RL);
    EXPECT_EQ(DbgMcu::kApb1Fz, offsetof(DBGMCU_TypeDef, APB1FZ));
    EXPECT_EQ(DbgMcu::kDbgIwdgStop, DBGMCU_APB1_FZ_DBG_IWDG_STOP);
    EXPECT_EQ(0x74U, offsetof(RCC_TypeDef, CSR));
    EXPECT_EQ(rcc_csr::kLsiOn, RCC_CSR_LSION);
    EXPECT_EQ(rcc_csr::kLsiRdy, RCC_CSR_LSIRDY);
    EXPECT_EQ(rcc_csr::kRmvf, RCC_CSR_RMVF);
    EXPECT_EQ(rcc_csr::kBorRstf, RCC_CSR_BORRSTF);
    EXPECT_EQ(rcc_csr::kPinRstf, RCC_CSR_PINRSTF);
    EXPECT_EQ(rcc_csr::kPorRstf, RCC_CSR_PORRSTF);
    EXPECT_EQ(rcc_csr::kSftRstf, RCC_CSR_SFTRSTF);
    EXPECT_EQ(rcc_csr::kIwdgRstf, RCC_CSR_IWDGRSTF);
    EXPECT_EQ(rcc_csr::kWwdgRstf, RCC_CSR_WWDGRSTF);
    EXPECT_EQ(rcc_csr::kLpwrRstf, RCC_CSR_LPWRRSTF);
    EXPECT_EQ(scb_reg::kSysresetreq, SCB_AIRCR_SYSRESETREQ_Msk);

    // PWR
    EXPECT_EQ(pwr_reg::kCr, offsetof(PWR_TypeDef, CR));
    EXPECT_EQ(pwr_reg::kCsr, offsetof(PWR_TypeDef, CSR));
    EXPECT_EQ(pwr_reg::kVos.mask(), PWR_CR_VOS);
    EXPECT_EQ(pwr_reg::kVos.shift, PWR_CR_VOS_Pos);
    EXPECT_EQ(pwr_reg::kVosrdy, PWR_CSR_VOSRDY);

    // NVIC
    EXPECT_EQ(nvic_reg::kIser, offsetof(NVIC_Type, ISER));
    EXPECT_EQ(nvic_reg::kIcer, offsetof(NVIC_Type, ICER));
    EXPECT_EQ(nvic_reg::kIspr, offsetof(NVIC_Type, ISPR));
    EXPECT_EQ(nvic_reg::kIcpr, offsetof(NVIC_Type, ICPR));
    EXPECT_EQ(nvic_reg::kIabr, offsetof(NVIC_Type, IABR));
    EXPECT_EQ(nvic_reg::kIpr, offsetof(NVIC_Type, IP));

    // SCB
    EXPECT_EQ(scb_reg::kIcsr, offsetof(SCB_Type, ICSR));
    EXPECT_EQ(scb_reg::kAircr, offsetof(SCB_Type, AIRCR));
    EXPECT_EQ(scb_reg::kShpr1, offsetof(SCB_Type, SHPR));
    EXPECT_EQ(scb_reg::kCpacr, offsetof(SCB_Type, CPACR));
    EXPECT_EQ(scb_reg::kPendstset, SCB_ICSR_PENDSTSET_Msk);
    EXPECT_EQ(scb_reg::kPendsvset, SCB_ICSR_PENDSVSET_Msk);
    EXPECT_EQ(scb_reg::kVectkey.mask(), SCB_AIRCR_VECTKEY_Msk);
    EXPECT_EQ(scb_reg::kVectkeyValue, SCB_AIRCR_VECTKEY_VALUE);
    EXPECT_EQ(scb_reg::kPrigroup.mask(), SCB_AIRCR_PRIGROUP_Msk);

    // FLASH, SYSCFG
    EXPECT_EQ(flash_reg::kAcr, offsetof(FLASH_TypeDef, ACR));
    EXPECT_EQ(flash_reg::kLatency.mask(), FLASH_ACR_LATENCY);
    EXPECT_EQ(flash_reg::kPrften, FLASH_ACR_PRFTEN);
    EXPECT_EQ(flash_reg::kIcen, FLASH_ACR_ICEN);
    EXPECT_EQ(flash_reg::kDcen, FLASH_ACR_DCEN);
    EXPECT_EQ(flash_reg::kIcrst, FLASH_ACR_ICRST);
    EXPECT_EQ(flash_reg::kDcrst, FLASH_ACR_DCRST);
    EXPECT_EQ(flash_reg::kSr, offsetof(FLASH_TypeDef, SR));
    EXPECT_EQ(flash_reg::kCr, offsetof(FLASH_TypeDef, CR));
    EXPECT_EQ(flash_reg::kOptcr, offsetof(FLASH_TypeDef, OPTCR));
    EXPECT_EQ(syscfg_reg::kMemrmp, offsetof(SYSCFG_TypeDef, MEMRMP));
    EXPECT_EQ(syscfg_reg::kPmc, offsetof(SYSCFG_TypeDef, PMC));
    EXPECT_EQ(syscfg_reg::kExticr1, offsetof(SYSCFG_TypeDef, EXTICR));
    EXPECT_EQ(syscfg_reg::kCmpcr, offsetof(SYSCFG_TypeDef, CMPCR));
}

}  // namespace
