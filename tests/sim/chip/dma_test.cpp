// The DMA2 model fed by USART1's receive requests: bytes land in memory in order, NDTR counts down,
// the half and complete flags and the stream's interrupt line, the stop that takes effect only after the
// item in progress, write protection while enabled, channel routing, and the injected faults.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "serial_bench.h"

namespace {

using sim::Picos;

using sim::usart_reg::kRe;
using sim::usart_reg::kTe;
using sim::usart_reg::kUe;
constexpr uint32_t kChannel4 = sim::dma_reg::kChsel.of(4);
const int kStream2Irq = sim::soc::kDma2.irqs[2];

class DmaModelTest : public ::testing::Test {
protected:
    DmaModelTest()
    {
        test::board_clocks(chip);
        test::usart1_pins();
        USART1->BRR = 0x28B1;
        USART1->CR1 = kUe | kTe | kRe;
        USART1->CR3 = USART_CR3_DMAR;
        buffer.fill(0xEE);
    }
    // Stream 2 reading USART1's DR into `buffer`, `items` bytes, with `cr_bits` added to CR.
    void arm(uint32_t items, uint32_t cr_bits = kChannel4 | DMA_SxCR_MINC)
    {
        DMA2_Stream2->NDTR = items;
        DMA2_Stream2->PAR = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&USART1->DR));
        DMA2_Stream2->M0AR = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer.data()));
        DMA2_Stream2->CR = cr_bits;
        DMA2_Stream2->CR = cr_bits | DMA_SxCR_EN;
    }
    void wait(Picos t) { chip.run_until(chip.now() + t); }
    uint32_t flags() const { return chip.dma2.flags(2); }

    sim::Chip chip;
    sim::SerialPeer peer{chip, chip.usart1};
    std::array<uint8_t, 16> buffer{};
};

TEST_F(DmaModelTest, StoresBytesInOrderWithHalfAndCompleteThenStops)
{
    arm(8, kChannel4 | DMA_SxCR_MINC | DMA_SxCR_TCIE | DMA_SxCR_HTIE);
    const Picos char_time = 10 * test::kUsart1Bit;
    peer.send(std::string("ABCDEFGHI"));
    wait(4 * char_time);
    EXPECT_EQ(DMA2_Stream2->NDTR, 4U);
    EXPECT_EQ(flags(), DMA_FLAG_HTIF);
    EXPECT_TRUE(chip.exceptions().line(kStream2Irq));
    DMA2->LIFCR = DMA_LISR_HTIF2;
    EXPECT_FALSE(chip.exceptions().line(kStream2Irq));
    EXPECT_EQ(USART1->SR & USART_SR_RXNE, 0U);  // the stream's read of DR took each byte

    wait(6 * char_time);
    EXPECT_EQ(DMA2_Stream2->NDTR, 0U);
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, 0U);  // a normal-mode stream disables itself at the end
    EXPECT_EQ(DMA2->LISR, DMA_LISR_TCIF2);
    EXPECT_TRUE(chip.exceptions().line(kStream2Irq));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 9), "ABCDEFGH\xEE");
    EXPECT_EQ(USART1->DR, static_cast<uint32_t>('I'));  // the ninth byte stays in the port
}

TEST_F(DmaModelTest, ServesOnlyItsChannelAndARequestWaitingWhenEnabled)
{
    arm(4, (3U << 25) | DMA_SxCR_MINC);  // channel 3 is not USART1's
    peer.send(std::string("X"));
    wait(sim::milliseconds(2));
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(DMA2_Stream2->NDTR, 4U);
    // Disable, select channel 4 and enable again: the byte waiting in DR is taken at once.
    DMA2_Stream2->CR = 0;
    while (DMA2_Stream2->CR & DMA_SxCR_EN) {}
    DMA2->LIFCR = 0x3FU << 16;
    arm(4);
    wait(sim::microseconds(1));
    EXPECT_EQ(buffer[0], 'X');
    EXPECT_EQ(DMA2_Stream2->NDTR, 3U);
}

TEST_F(DmaModelTest, ClearedEnableTakesEffectAfterTheItemAndFlagsTheStop)
{
    std::vector<std::string> log;
    chip.log().set_sink([&log](const std::string& line) { log.push_back(line); });
    arm(4, kChannel4 | DMA_SxCR_MINC | DMA_SxCR_TCIE);
    DMA2_Stream2->NDTR = 9;                      // protected while enabled
    DMA2_Stream2->CR = kChannel4 | DMA_SxCR_EN;  // only the interrupt enables change while enabled
    EXPECT_EQ(DMA2_Stream2->NDTR, 4U);
    EXPECT_EQ(DMA2_Stream2->CR, kChannel4 | DMA_SxCR_MINC | DMA_SxCR_EN);
    EXPECT_EQ(log.size(), 2U);  // both ignored writes are reported

    DMA2_Stream2->CR = kChannel4 | DMA_SxCR_MINC | DMA_SxCR_TCIE;  // EN cleared
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, DMA_SxCR_EN);        // still finishing
    const Picos cleared = chip.now();
    while (DMA2_Stream2->CR & DMA_SxCR_EN) {}
    EXPECT_LT(chip.now() - cleared, sim::microseconds(1));
    EXPECT_EQ(flags(), DMA_FLAG_TCIF);
    EXPECT_TRUE(chip.exceptions().line(kStream2Irq));
    // A byte after the stop stays in the port.
    peer.send(std::string("Z"));
    wait(sim::milliseconds(2));
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(DmaModelTest, CircularStreamReloadsAndStartsOver)
{
    arm(2, kChannel4 | DMA_SxCR_MINC | DMA_SxCR_CIRC);
    peer.send(std::string("abc"));
    wait(sim::milliseconds(4));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "cb\xEE");
    EXPECT_EQ(DMA2_Stream2->NDTR, 1U);
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, DMA_SxCR_EN);
    EXPECT_EQ(flags(), DMA_FLAG_TCIF | DMA_FLAG_HTIF);
}

TEST_F(DmaModelTest, InjectedFaults)
{
    arm(4, kChannel4 | DMA_SxCR_MINC | DMA_SxCR_TEIE | DMA_SxCR_DMEIE);
    chip.dma2.inject_direct_mode_error(2);
    EXPECT_EQ(flags(), DMA_FLAG_DMEIF);
    EXPECT_TRUE(chip.exceptions().line(kStream2Irq));
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, DMA_SxCR_EN);  // goes on
    chip.dma2.inject_transfer_error(2);
    EXPECT_EQ(flags(), DMA_FLAG_DMEIF | DMA_FLAG_TEIF);
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, 0U);  // a bus error stops the stream at once
    peer.send(std::string("Q"));
    wait(sim::milliseconds(2));
    EXPECT_EQ(buffer[0], 0xEE);

    // A stream that never reports itself disabled.
    chip.dma2.set_stuck_enabled(5, true);
    DMA2_STREAM(5)->CR = 0;
    wait(sim::milliseconds(1));
    EXPECT_EQ(DMA2_STREAM(5)->CR & DMA_SxCR_EN, DMA_SxCR_EN);
}

}  // namespace
