// The USART model driven by real characters on its lines at 9600 baud: the transmitter's waveform and
// flags, the receiver's flags (RXNE, ORE, IDLE, FE, NE), the status-register clearing rules, the
// tolerance to a peer at a slightly different rate, and the interrupt line.
#include <gtest/gtest.h>

#include "serial_bench.h"

namespace {

using sim::Picos;
using test::kUsart1Bit;

using sim::usart_reg::kRe;
using sim::usart_reg::kTe;
using sim::usart_reg::kUe;

class UsartModelTest : public ::testing::Test {
protected:
    UsartModelTest()
    {
        test::board_clocks(chip);
        test::usart1_pins();
        line.attach(chip.usart1);
        USART1->BRR = 0x28B1;
        USART1->CR1 = kUe | kTe | kRe;
        enabled_at = chip.now();
    }
    uint32_t sr() const { return chip.usart1.status(); }
    void wait(Picos t) { chip.run_until(chip.now() + t); }

    sim::Chip chip;
    sim::SerialPeer peer{chip, chip.usart1};
    test::LineRecord line;
    Picos enabled_at = 0;
};

TEST_F(UsartModelTest, TransmitsStartDataLsbFirstAndStopAtTheBitRate)
{
    // Enabling the transmitter sends an idle frame first: the character waits behind it.
    USART1->DR = 0x48;
    EXPECT_EQ(sr() & (USART_SR_TXE | USART_SR_TC), 0U);
    while ((USART1->SR & USART_SR_TXE) == 0U) {}
    USART1->DR = 0x6F;  // into DR while 'H' is on the line
    EXPECT_EQ(sr() & (USART_SR_TXE | USART_SR_TC), 0U);
    while ((USART1->SR & USART_SR_TC) == 0U) {}
    ASSERT_EQ(peer.received().size(), 2U);
    const auto& h = peer.received()[0];
    const auto& o = peer.received()[1];
    EXPECT_NEAR(static_cast<double>(h.start - enabled_at), 10.0 * kUsart1Bit, 1e6);
    EXPECT_EQ(h.time - h.start, 10 * kUsart1Bit);
    EXPECT_EQ(o.start, h.time);  // back to back: the second waited only for the first's stop bit
    EXPECT_EQ(line.decode(kUsart1Bit), (std::vector<uint8_t>{0x48, 0x6F}));
    // Every edge falls on a bit boundary of its character.
    for (const auto& e : line.edges) {
        if (e.at < h.start) continue;  // the idle frame's high level
        const Picos from = e.at >= o.start ? o.start : h.start;
        EXPECT_EQ((e.at - from) % kUsart1Bit, 0U);
    }
    EXPECT_LT(chip.now() - o.time, sim::microseconds(2));  // TC seen as the stop bit ended
    EXPECT_EQ(sr() & (USART_SR_TXE | USART_SR_TC), USART_SR_TXE | USART_SR_TC);
}

TEST_F(UsartModelTest, ReceivedCharacterSetsRxneThenIdleOncePerIdlePeriod)
{
    const Picos start = chip.now();
    peer.send(std::string("A"));
    // The stop bit is sampled 9.56 bit times after the start edge.
    chip.run_until(start + 95 * kUsart1Bit / 10);
    EXPECT_EQ(sr() & USART_SR_RXNE, 0U);
    chip.run_until(start + 96 * kUsart1Bit / 10);
    EXPECT_EQ(sr() & (USART_SR_RXNE | USART_SR_NE | USART_SR_FE | USART_SR_PE), USART_SR_RXNE);
    EXPECT_EQ(USART1->DR, static_cast<uint32_t>('A'));
    EXPECT_EQ(sr() & USART_SR_RXNE, 0U);
    // A whole idle character after the stop bit: 20 bit times from the start edge.
    chip.run_until(start + 199 * kUsart1Bit / 10);
    EXPECT_EQ(sr() & USART_SR_IDLE, 0U);
    chip.run_until(start + 201 * kUsart1Bit / 10);
    EXPECT_EQ(sr() & USART_SR_IDLE, USART_SR_IDLE);
    // SR then DR clears it, and a line that stays idle does not raise it again.
    (void)static_cast<uint32_t>(USART1->SR);
    (void)static_cast<uint32_t>(USART1->DR);
    EXPECT_EQ(sr() & USART_SR_IDLE, 0U);
    wait(sim::milliseconds(10));
    EXPECT_EQ(sr() & USART_SR_IDLE, 0U);
}

TEST_F(UsartModelTest, UnreadCharacterIsKeptAndLaterOnesAreLostWithOverrun)
{
    peer.send(std::string("ABC"));
    wait(sim::milliseconds(5));
    EXPECT_EQ(sr() & (USART_SR_RXNE | USART_SR_ORE), USART_SR_RXNE | USART_SR_ORE);
    // Writing 0 clears RXNE and TC only; ORE and IDLE ignore the write.
    USART1->SR = 0;
    EXPECT_EQ(sr() & (USART_SR_RXNE | USART_SR_TC), 0U);
    EXPECT_EQ(sr() & (USART_SR_ORE | USART_SR_IDLE), USART_SR_ORE | USART_SR_IDLE);
    // A DR read without an SR read just before does not clear ORE; the sequence does.
    EXPECT_EQ(USART1->DR, static_cast<uint32_t>('A'));
    EXPECT_EQ(sr() & USART_SR_ORE, USART_SR_ORE);
    (void)static_cast<uint32_t>(USART1->SR);
    (void)static_cast<uint32_t>(USART1->DR);
    EXPECT_EQ(sr() & (USART_SR_ORE | USART_SR_IDLE), 0U);
}

TEST_F(UsartModelTest, BreakGivesFramingErrorAndNoiseGivesNoiseFlag)
{
    const Picos released = peer.send_break(sim::milliseconds(5));
    wait(sim::milliseconds(2));
    EXPECT_EQ(sr() & (USART_SR_FE | USART_SR_RXNE), USART_SR_FE | USART_SR_RXNE);
    EXPECT_EQ(USART1->DR, 0U);
    // Nothing more while the line stays low; idle is counted from its release.
    chip.run_until(released + 10 * kUsart1Bit - kUsart1Bit / 2);
    EXPECT_EQ(sr() & (USART_SR_RXNE | USART_SR_IDLE), 0U);
    chip.run_until(released + 11 * kUsart1Bit);
    EXPECT_EQ(sr() & USART_SR_IDLE, USART_SR_IDLE);
    (void)static_cast<uint32_t>(USART1->SR);
    (void)static_cast<uint32_t>(USART1->DR);

    peer.send_noisy(0x5A, 3);
    wait(sim::milliseconds(2));
    EXPECT_EQ(sr() & (USART_SR_NE | USART_SR_FE | USART_SR_RXNE), USART_SR_NE | USART_SR_RXNE);
    EXPECT_EQ(USART1->DR, 0x5AU);  // the majority of the three samples keeps the value
}

TEST_F(UsartModelTest, PeerTwoPercentFastIsReceivedSixPercentFastIsNot)
{
    std::vector<uint8_t> got;
    auto receive = [&](double baud) {
        got.clear();
        peer.set_baud(baud);
        peer.send(std::string("V01=75$"));
        bool framing = false;
        const Picos end = peer.line_free_at() + sim::milliseconds(1);
        while (chip.now() < end) {
            wait(sim::microseconds(20));  // well inside a character time: nothing is overrun
            const uint32_t status = USART1->SR;
            framing = framing || (status & USART_SR_FE);
            if (status & USART_SR_RXNE) got.push_back(static_cast<uint8_t>(USART1->DR));
        }
        return framing;
    };
    EXPECT_FALSE(receive(9600.0 * 1.02));
    EXPECT_EQ(std::string(got.begin(), got.end()), "V01=75$");
    EXPECT_TRUE(receive(9600.0 * 1.06));  // the next start bit falls on the stop bit's samples
}

TEST_F(UsartModelTest, InterruptLineFollowsFlagsAndTheirEnables)
{
    const int irq = 37;
    peer.send(std::string("AB"));
    wait(sim::milliseconds(4));  // RXNE, ORE and IDLE set
    EXPECT_FALSE(chip.exceptions().line(irq));
    USART1->CR1 = kUe | kTe | kRe | USART_CR1_IDLEIE;
    EXPECT_TRUE(chip.exceptions().line(irq));
    USART1->CR1 = kUe | kTe | kRe | USART_CR1_RXNEIE;  // RXNE or ORE
    EXPECT_TRUE(chip.exceptions().line(irq));
    USART1->CR1 = kUe | kTe | kRe;
    USART1->CR3 = USART_CR3_EIE;  // errors interrupt only while DMA reception is on
    EXPECT_FALSE(chip.exceptions().line(irq));
    USART1->CR3 = USART_CR3_EIE | USART_CR3_DMAR;
    EXPECT_TRUE(chip.exceptions().line(irq));
    (void)static_cast<uint32_t>(USART1->SR);
    (void)static_cast<uint32_t>(USART1->DR);
    EXPECT_FALSE(chip.exceptions().line(irq));
    USART1->CR1 = kUe | kTe | kRe | USART_CR1_TCIE;  // TC is set: the port is idle
    EXPECT_TRUE(chip.exceptions().line(irq));
}

// The receiver reads its line through A10: the peer's character reaches it only while the pin is
// switched to USART1's function (alternate function 7).
TEST_F(UsartModelTest, ReceiverHearsThePeerOnlyThroughItsPinSwitchedToTheFunction)
{
    struct Case {
        const char* name;
        uint32_t mode;  // A10's MODER field
        uint32_t af;    // A10's AFR field
        bool received;
    };
    const Case cases[] = {
        {"input", 0, 7, false},
        {"alternate function 8", 2, 8, false},
        {"alternate function 7", 2, 7, true},
    };
    for (const Case& c : cases) {
        GPIOA->AFR[1] = (GPIOA->AFR[1] & ~0xF00U) | (c.af << 8);
        GPIOA->MODER = (GPIOA->MODER & ~(3U << 20)) | (c.mode << 20);
        (void)static_cast<uint32_t>(USART1->DR);
        chip.run_until(peer.send(std::string("Z")) + kUsart1Bit);
        EXPECT_EQ((sr() & USART_SR_RXNE) != 0, c.received) << c.name;
        if (c.received) {
            EXPECT_EQ(USART1->DR, static_cast<uint32_t>('Z')) << c.name;
        }
    }
}

}  // namespace
