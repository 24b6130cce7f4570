// The serial link on a board brought up as main does it: the greeting on USART2's TX pin, bytes of
// any value sent unchanged, and command frames captured by the idle-line receiver and handed over
// through flag_rx, with the dashboard peer sending real characters at 9600 baud.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_bring_up.h"
#include "main.h"
#include "serial_bench.h"
#include "sim_fixture.h"
#include "uart.h"
#include "uart_int_idle_dma.h"

namespace {

using sim::Picos;

// USART2's bit: BRR 0x1458 = 5208 clocks of PCLK1 (50 MHz), 104.16 us.
constexpr Picos kUsart2Bit = 5208ULL * 20'000ULL;

class SerialLinkTest : public test::SimTest {
protected:
    SerialLinkTest() { test::bring_up_board_as_main(); }
    void settle(Picos end) { chip.run_until(end + sim::milliseconds(3)); }
    std::string frame() const { return std::string(reinterpret_cast<const char*>(trama_rx)); }
    static std::string letters(size_t count)
    {
        std::string s;
        for (size_t i = 0; i < count; ++i) s.push_back(static_cast<char>('A' + i % 26));
        return s;
    }

    sim::SerialPeer dashboard{chip, chip.usart1};
    sim::SerialPeer listener{chip, chip.usart2};
};

TEST_F(SerialLinkTest, GreetingOnTheTxPinTenBitTimesACharacter)
{
    test::LineRecord pin;
    chip.gpioa.on_level_change([&pin](char, int number, int level, Picos at) {
        if (number == 2) pin.edges.push_back({at, level});
    });
    uartx_write_text(&huart2, "Hola\r\n");
    const std::vector<uint8_t> hola{0x48, 0x6F, 0x6C, 0x61, 0x0D, 0x0A};
    EXPECT_EQ(pin.decode(kUsart2Bit), hola);
    ASSERT_EQ(listener.received().size(), 6U);
    for (const auto& r : listener.received()) EXPECT_EQ(r.time - r.start, 10 * kUsart2Bit);
    // Within a character every edge of the pin falls on a bit boundary (the pin hears of it at the next
    // bus access, at most a few cycles later).
    for (const auto& e : pin.edges) {
        for (const auto& r : listener.received())
            if (e.at >= r.start && e.at <= r.time) {
                EXPECT_LT((e.at - r.start) % kUsart2Bit, sim::nanoseconds(100));
            }
    }
    // Each character is one blocking call: it returns once the stop bit has gone.
    EXPECT_LT(chip.now() - listener.received().back().time, sim::microseconds(2));
}

TEST_F(SerialLinkTest, BytesOfAnyValueGoOutUnchangedAndAnEmptyStringSendsNothing)
{
    uartx_write_text(&huart1, "");
    uartx_write_text(&huart1, "\xC3\xA9\x80\xFF");
    uartx_write(&huart1, 0x00);
    const std::vector<uint8_t> expected{0xC3, 0xA9, 0x80, 0xFF, 0x00};
    std::vector<uint8_t> got;
    for (const auto& r : dashboard.received()) got.push_back(r.byte);
    EXPECT_EQ(got, expected);
}

TEST_F(SerialLinkTest, TenByteFrameIsHandedOverAfterTheIdleLine)
{
    uartdat_it_idle_dma_init();
    const Picos end = dashboard.send(std::string("V01=75$abc"));
    chip.run_until(end);
    EXPECT_EQ(flag_rx, 0U);  // not before the line has been idle for a character time
    settle(end);
    EXPECT_EQ(flag_rx, 1U);
    EXPECT_EQ(num_datos, 10U);
    EXPECT_EQ(frame(), "V01=75$abc");
    for (size_t i = 10; i < trama_size; ++i) EXPECT_EQ(trama_rx[i], 0U) << i;
    EXPECT_EQ(huart1.RxState, HAL_UART_STATE_READY);
}

TEST_F(SerialLinkTest, LongBurstIsCutAtFiftyWithNothingAfter)
{
    uartdat_it_idle_dma_init();
    const std::string burst = letters(60);
    settle(dashboard.send(burst));
    EXPECT_EQ(flag_rx, 1U);
    EXPECT_EQ(num_datos, 50U);
    EXPECT_EQ(frame(), burst.substr(0, 50));             // and a zero byte right after the 50th
    EXPECT_EQ(huart1.RxEventType, HAL_UART_RXEVENT_HT);  // the idle line after the burst raised nothing
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, 0U);
}

TEST_F(SerialLinkTest, FrameArrivingWhilePendingIsLostAndReArmingStartsClean)
{
    uartdat_it_idle_dma_init();
    settle(dashboard.send(std::string("V00=1")));
    ASSERT_EQ(flag_rx, 1U);
    settle(dashboard.send(std::string("V01=42$")));  // while the frame is pending
    EXPECT_EQ(frame(), "V00=1");
    EXPECT_EQ(num_datos, 5U);
    EXPECT_NE(USART1->SR & USART_SR_ORE, 0U);  // the port kept one byte and dropped the rest

    // The main loop's hand-back: interpret, clear the flag, re-arm.
    flag_rx = 0;
    uartdat_it_idle_dma_init();
    EXPECT_EQ(frame(), "");
    settle(dashboard.send(std::string("X9")));
    EXPECT_EQ(flag_rx, 1U);
    EXPECT_EQ(num_datos, 2U);
    EXPECT_EQ(frame(), "X9");
}

TEST_F(SerialLinkTest, IdleWithoutBytesGivesNothingAndBreakLeavesTheReceiverDeaf)
{
    uartdat_it_idle_dma_init();
    chip.run_until(chip.now() + sim::milliseconds(20));
    EXPECT_EQ(flag_rx, 0U);
    EXPECT_EQ(huart1.RxState, HAL_UART_STATE_BUSY_RX);

    settle(dashboard.send_break(sim::milliseconds(5)));
    EXPECT_EQ(flag_rx, 0U);
    EXPECT_NE(huart1.ErrorCode & HAL_UART_ERROR_FE, 0U);
    settle(dashboard.send(std::string("V00=1")));
    EXPECT_EQ(flag_rx, 0U);  // no frame is taken until reception is armed again
}

TEST_F(SerialLinkTest, EventsForAnotherPortOrWhileAFrameIsPendingAreIgnored)
{
    uartdat_it_idle_dma_init();
    HAL_UARTEx_RxEventCallback(&huart2, 5);
    EXPECT_EQ(flag_rx, 0U);
    EXPECT_EQ(num_datos, 0U);
    EXPECT_EQ(huart1.RxState, HAL_UART_STATE_BUSY_RX);  // reception on USART1 untouched

    settle(dashboard.send(std::string("ab")));
    ASSERT_EQ(flag_rx, 1U);
    HAL_UARTEx_RxEventCallback(&huart1, 7);
    EXPECT_EQ(num_datos, 2U);
}

}  // namespace
