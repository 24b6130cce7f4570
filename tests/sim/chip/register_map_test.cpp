// The register descriptions' common rules, seen through the chip's bus: a byte write changes its own
// lane only, a write keeps the bits that are not writable, bits cleared by writing 0, a register
// computed when read, and the one log line for an offset that no register covers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_fixture.h"
#include "stm32f4xx_hal.h"

namespace {

class RegisterMapTest : public test::SimTest {
protected:
    RegisterMapTest() { chip.log().keep(true); }
};

TEST_F(RegisterMapTest, ByteWriteChangesItsLaneOnlyAndKeepsTheImplementedBits)
{
    NVIC->IP[4] = 0x5F;  // only the top nibble is implemented
    NVIC->IP[5] = 0xA0;
    NVIC->IP[6] = 0x30;
    NVIC->IP[5] = 0xC0;  // rewriting one lane leaves its neighbours
    EXPECT_EQ(NVIC->IP[4], 0x50U);
    EXPECT_EQ(NVIC->IP[5], 0xC0U);
    EXPECT_EQ(NVIC->IP[6], 0x30U);
    EXPECT_EQ(chip.exceptions().priority_byte(sim::exception_of_irq(4)), 0x50);
    EXPECT_EQ(chip.exceptions().priority_byte(sim::exception_of_irq(5)), 0xC0);
    // Past the last interrupt line (85) nothing is stored.
    NVIC->IP[86] = 0xF0;
    EXPECT_EQ(NVIC->IP[86], 0U);
}

TEST_F(RegisterMapTest, EnableAndPendingRegistersSetAndClearOnlyTheLinesWrittenWithOne)
{
    NVIC->ISER[1] = 1U << 5;  // IRQ 37
    NVIC->ISER[1] = 1U << 6;  // IRQ 38: a 0 written for 37 leaves it enabled
    EXPECT_EQ(NVIC->ISER[1], (1U << 5) | (1U << 6));
    NVIC->ICER[1] = 1U << 5;
    EXPECT_EQ(NVIC->ISER[1], 1U << 6);
    EXPECT_EQ(NVIC->ICER[1], 1U << 6);  // both read the enable state
    // Lines above 85 do not exist.
    NVIC->ISER[2] = 0xFFFFFFFFU;
    EXPECT_EQ(NVIC->ISER[2], 0x3FFFFFU);
}

TEST_F(RegisterMapTest, WritesKeepReadOnlyBitsAndFlagsClearByTheirOwnRule)
{
    // TIM2's SR: a 0 clears a flag, a 1 leaves it.
    TIM2->EGR = TIM_EGR_UG | (1U << 1);  // UIF and CC1IF set by software
    ASSERT_EQ(TIM2->SR & 3U, 3U);
    TIM2->SR = ~1U;  // clear UIF only
    EXPECT_EQ(TIM2->SR & 3U, 2U);
    EXPECT_EQ(TIM2->EGR, 0U);  // write-only

    // SYSCFG's compensation cell: READY cannot be written; it follows the power-down bit.
    SYSCFG->CMPCR = 1U << 8;
    EXPECT_EQ(SYSCFG->CMPCR, 0U);
    SYSCFG->CMPCR = 1U;
    EXPECT_EQ(SYSCFG->CMPCR, 1U | (1U << 8));

    // GPIO ODR keeps 16 bits; the flash ACR only its defined ones.
    GPIOC->ODR = 0xFFFFFFFFU;
    EXPECT_EQ(GPIOC->ODR, 0xFFFFU);
    FLASH->ACR = 0xFFFFFFFFU;
    EXPECT_EQ(FLASH->ACR, 0x1F0FU);
}

TEST_F(RegisterMapTest, SerialPortKeepsItsImplementedBitsAndClearsOnlyTheFlagsSoftwareMay)
{
    // SR after reset: TXE and TC. Writing 0 clears TC (and RXNE, LBD, CTS) but never TXE.
    EXPECT_EQ(USART1->SR, USART_SR_TXE | USART_SR_TC);
    USART1->SR = 0;
    EXPECT_EQ(USART1->SR, USART_SR_TXE);
    USART1->SR = 0xFFFFFFFFU;  // a 1 sets nothing
    EXPECT_EQ(USART1->SR, USART_SR_TXE);

    // Reserved bits read back 0: CR1 bit 14 and above 15, CR2 bits 7 and 15, CR3 above 11, BRR's top half.
    USART1->CR1 = 0xFFFF0000U | (1U << 14) | (1U << 4);
    EXPECT_EQ(USART1->CR1, 1U << 4);
    USART1->CR1 = 0;
    USART1->CR2 = 0xFFFFFFFFU;
    EXPECT_EQ(USART1->CR2, 0x7F7FU);
    USART1->CR3 = 0xFFFFFFFFU;
    EXPECT_EQ(USART1->CR3, 0x0FFFU);
    USART1->BRR = 0x123428B1U;
    EXPECT_EQ(USART1->BRR, 0x28B1U);
    // A byte access reaches its own lane: CR1's second byte holds UE (bit 13).
    chip.write(sim::soc::kUsart1.base + 0x0DU, 0x20U, 1);
    EXPECT_EQ(USART1->CR1, USART_CR1_UE);
    EXPECT_EQ(chip.read(sim::soc::kUsart1.base + 0x0DU, 1) & 0xFFU, 0x20U);
    USART1->CR1 = 0;

    // A write to DR with the port off is lost, and says so.
    USART1->DR = 0x55;
    EXPECT_EQ(chip.log().kept(),
              (std::vector<std::string>{"USART1: write to DR while the port is disabled (UE clear) is lost"}));
}

TEST_F(RegisterMapTest, SysTickKeepsItsFieldWidthsAndCountflagClearsWhenRead)
{
    SysTick->CALIB = 0;  // read-only
    EXPECT_EQ(SysTick->CALIB, 0x40000000U | 12499U);
    SysTick->LOAD = 0xFFFFFFFFU;  // 24 bits
    EXPECT_EQ(SysTick->LOAD, 0xFFFFFFU);

    SysTick->LOAD = 99;
    SysTick->VAL = 0;
    // Only the three control bits are stored; COUNTFLAG cannot be written.
    SysTick->CTRL = 0xFFFF0000U | SysTick_CTRL_ENABLE_Msk | SysTick_CTRL_CLKSOURCE_Msk;
    EXPECT_EQ(SysTick->CTRL, SysTick_CTRL_ENABLE_Msk | SysTick_CTRL_CLKSOURCE_Msk);
    while ((SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk) == 0U) {}
    EXPECT_EQ(SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk, 0U);  // the read that saw it cleared it
    SysTick->CTRL = 0;
}

TEST_F(RegisterMapTest, UnmodelledOffsetsReadZeroAndSayWhereOnce)
{
    reg32_t* gap = &GPIOB->AFR[1] + 1;  // 0x28, past the last GPIO register
    *gap = 5;
    EXPECT_EQ(*gap, 0U);
    EXPECT_EQ(chip.log().kept(), (std::vector<std::string>{"GPIOB: write to unmodelled offset 0x28",
                                                           "GPIOB: read of unmodelled offset 0x28"}));
}

}  // namespace
