// Blocking transmission, the port's initialisation and the stream operations under the receive path.
#include "serial_platform.h"

namespace {
int g_msp_calls = 0;
}  // namespace

void HAL_UART_MspInit(UART_HandleTypeDef*)
{
    ++g_msp_calls;
}

namespace ptest {
namespace {

using sim::Picos;
using test::kUsart1Bit;

uint32_t address_of(const volatile void* p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

using TransmitTest = SerialPlatformTest;

TEST_F(TransmitTest, OneByteReturnsWhenItsStopBitHasGone)
{
    wait(sim::milliseconds(2));  // the idle frame that follows the transmitter's enabling
    const uint8_t byte = 0xA5;   // 0x80 and above go out unchanged
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, &byte, 0, 10), HAL_ERROR);
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, nullptr, 1, 10), HAL_ERROR);
    EXPECT_TRUE(peer.received().empty());

    const Picos start = chip.now();
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, &byte, 1, 0xFFFF), HAL_OK);
    const Picos took = chip.now() - start;
    EXPECT_GE(took, 10 * kUsart1Bit);
    EXPECT_LT(took, 10 * kUsart1Bit + sim::microseconds(5));
    ASSERT_EQ(peer.received().size(), 1U);
    EXPECT_EQ(peer.received()[0].byte, 0xA5);
    EXPECT_EQ(g_uart.gState, HAL_UART_STATE_READY);
    EXPECT_EQ(g_uart.TxXferCount, 0U);

    // Time-out 0: the byte is handed over, the wait for its end gives up at once.
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, &byte, 1, 0), HAL_TIMEOUT);
    EXPECT_EQ(g_uart.gState, HAL_UART_STATE_READY);
}

TEST_F(TransmitTest, TimeOutBoundsTheWholeCallAndLeavesAnArmedReceptionAlone)
{
    wait(sim::milliseconds(2));
    ASSERT_EQ(arm(), HAL_OK);
    const std::string text = text_of(10);
    const Picos start = chip.now();
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, reinterpret_cast<const uint8_t*>(text.data()), 10, 5), HAL_TIMEOUT);
    const Picos took = chip.now() - start;
    EXPECT_GT(took, sim::milliseconds(5));
    EXPECT_LT(took, sim::milliseconds(7));  // not 10 characters: the limit is for the whole call
    wait(sim::milliseconds(2));
    EXPECT_LT(peer.received().size(), 10U);
    EXPECT_EQ(g_uart.gState, HAL_UART_STATE_READY);

    EXPECT_EQ(g_uart.RxState, HAL_UART_STATE_BUSY_RX);
    EXPECT_EQ(USART1->CR3 & (USART_CR3_EIE | USART_CR3_DMAR), USART_CR3_EIE | USART_CR3_DMAR);
    send_and_settle("ping");
    ASSERT_EQ(g_calls.events.size(), 1U);
    EXPECT_EQ(g_calls.events[0].size, 4U);
}

using UartInitTest = SerialPlatformTest;

TEST_F(UartInitTest, ProgramsThePortOnceHookedAndRefusesWhatItCannotProgram)
{
    EXPECT_EQ(USART1->BRR, 0x28B1U);  // 9600 baud from PCLK2 at 100 MHz
    EXPECT_EQ(USART1->CR1, USART_CR1_UE | USART_CR1_TE | USART_CR1_RE);
    EXPECT_EQ(USART1->CR2, 0U);
    EXPECT_EQ(USART1->CR3, 0U);
    EXPECT_EQ(g_uart.RxEventType, HAL_UART_RXEVENT_TC);

    // The hook runs only for a handle in reset.
    g_uart.gState = HAL_UART_STATE_RESET;
    g_msp_calls = 0;
    EXPECT_EQ(HAL_UART_Init(&g_uart), HAL_OK);
    g_uart.Init.OverSampling = UART_OVERSAMPLING_8;
    EXPECT_EQ(HAL_UART_Init(&g_uart), HAL_OK);
    EXPECT_EQ(g_msp_calls, 1);
    EXPECT_EQ(USART1->BRR, 0x5161U);  // USARTDIV 1302.125: three fraction bits

    EXPECT_EQ(HAL_UART_Init(nullptr), HAL_ERROR);
    g_uart.Init.BaudRate = 0;
    EXPECT_EQ(HAL_UART_Init(&g_uart), HAL_ERROR);
    EXPECT_EQ(USART1->BRR, 0x5161U);
}

using DmaStreamTest = SerialPlatformTest;

TEST_F(DmaStreamTest, InitProgramsTheStreamAndFindsItsFlags)
{
    EXPECT_EQ(DMA2_Stream2->CR, DMA_CHANNEL_4 | DMA_MINC_ENABLE);
    EXPECT_EQ(DMA2_Stream2->FCR & (DMA_SxFCR_DMDIS | DMA_SxFCR_FTH), 0U);  // direct mode
    EXPECT_EQ(g_dma.StreamIndex, 16U);
    EXPECT_EQ(g_dma.StreamBaseAddress, address_of(&DMA2->LISR));
    DMA_HandleTypeDef stream5{};
    stream5.Instance = DMA2_STREAM(5);
    EXPECT_EQ(HAL_DMA_Init(&stream5), HAL_OK);
    EXPECT_EQ(stream5.StreamIndex, 6U);
    EXPECT_EQ(stream5.StreamBaseAddress, address_of(&DMA2->HISR));
    EXPECT_EQ(HAL_DMA_Init(nullptr), HAL_ERROR);
}

TEST_F(DmaStreamTest, StartHoldsTheLockUntilAbort)
{
    uint8_t target[4] = {};
    const uint32_t dr = address_of(&USART1->DR);
    ASSERT_EQ(HAL_DMA_Start_IT(&g_dma, dr, address_of(target), 4), HAL_OK);
    EXPECT_EQ(g_dma.State, HAL_DMA_STATE_BUSY);
    EXPECT_EQ(DMA2_Stream2->CR & (DMA_IT_TC | DMA_IT_TE | DMA_IT_DME | DMA_IT_HT | DMA_SxCR_EN),
              DMA_IT_TC | DMA_IT_TE | DMA_IT_DME | DMA_SxCR_EN);  // no half callback: no HT interrupt
    EXPECT_EQ(HAL_DMA_Start_IT(&g_dma, dr, address_of(target), 4), HAL_BUSY);

    EXPECT_EQ(HAL_DMA_Abort(&g_dma), HAL_OK);
    EXPECT_EQ(g_dma.State, HAL_DMA_STATE_READY);
    EXPECT_EQ(g_dma.Lock, HAL_UNLOCKED);
    EXPECT_EQ(DMA2_Stream2->CR & DMA_SxCR_EN, 0U);
    EXPECT_EQ(DMA2->LISR, 0U);  // the stop's TCIF cleared with the rest
    EXPECT_EQ(HAL_DMA_Abort(&g_dma), HAL_ERROR);
    EXPECT_EQ(g_dma.ErrorCode, HAL_DMA_ERROR_NO_XFER);
    EXPECT_EQ(HAL_DMA_Abort_IT(&g_dma), HAL_ERROR);
}

TEST_F(DmaStreamTest, StreamThatNeverReadsDisabledTimesOutAndArmingFails)
{
    uint8_t target[4] = {};
    ASSERT_EQ(HAL_DMA_Start_IT(&g_dma, address_of(&USART1->DR), address_of(target), 4), HAL_OK);
    chip.dma2.set_stuck_enabled(2, true);
    Picos start = chip.now();
    EXPECT_EQ(HAL_DMA_Abort(&g_dma), HAL_TIMEOUT);
    EXPECT_GT(chip.now() - start, sim::milliseconds(5));
    EXPECT_LT(chip.now() - start, sim::milliseconds(7));
    EXPECT_EQ(g_dma.State, HAL_DMA_STATE_TIMEOUT);
    EXPECT_EQ(g_dma.Lock, HAL_UNLOCKED);

    // A stream that is not ready cannot carry a reception: arming says so and stays ready.
    EXPECT_EQ(arm(), HAL_ERROR);
    EXPECT_EQ(g_uart.RxState, HAL_UART_STATE_READY);

    start = chip.now();
    EXPECT_EQ(HAL_DMA_Init(&g_dma), HAL_TIMEOUT);
    EXPECT_GT(chip.now() - start, sim::milliseconds(5));
    EXPECT_EQ(g_dma.ErrorCode, HAL_DMA_ERROR_TIMEOUT);
}

}  // namespace
}  // namespace ptest
