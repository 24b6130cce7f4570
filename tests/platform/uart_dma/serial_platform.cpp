#include "serial_platform.h"

#include "system_stm32f4xx.h"

namespace ptest {

Calls g_calls;
UART_HandleTypeDef g_uart;
DMA_HandleTypeDef g_dma;

namespace {
void tick()
{
    HAL_IncTick();
}
void usart1_irq()
{
    HAL_UART_IRQHandler(&g_uart);
}
void dma2_stream2_irq()
{
    HAL_DMA_IRQHandler(&g_dma);
}
}  // namespace

SerialPlatformTest::SerialPlatformTest()
{
    g_calls = Calls{};
    g_uart = UART_HandleTypeDef{};
    g_dma = DMA_HandleTypeDef{};
    buffer.fill(0xEE);
    table[15] = tick;
    table[16 + USART1_IRQn] = usart1_irq;
    table[16 + DMA2_Stream2_IRQn] = dma2_stream2_irq;
    chip.set_vector_table(table.data(), static_cast<int>(table.size()));

    // The board's clocks; RCC keeps its reset dividers, so the platform takes PCLK2 = SystemCoreClock.
    test::run_core_at_100_mhz(chip);
    uwTick = 0U;
    HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);
    EXPECT_EQ(HAL_InitTick(15), HAL_OK);

    g_dma.Instance = DMA2_Stream2;
    g_dma.Init.Channel = DMA_CHANNEL_4;
    g_dma.Init.Direction = DMA_PERIPH_TO_MEMORY;
    g_dma.Init.MemInc = DMA_MINC_ENABLE;
    EXPECT_EQ(HAL_DMA_Init(&g_dma), HAL_OK);
    __HAL_LINKDMA(&g_uart, hdmarx, g_dma);

    test::usart1_pins();  // what the board's HAL_UART_MspInit does (this one is the test's own)
    g_uart.Instance = USART1;
    g_uart.Init.BaudRate = 9600;
    g_uart.Init.Mode = UART_MODE_TX_RX;
    EXPECT_EQ(HAL_UART_Init(&g_uart), HAL_OK);
    HAL_NVIC_SetPriority(USART1_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(USART1_IRQn);
    HAL_NVIC_SetPriority(DMA2_Stream2_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(DMA2_Stream2_IRQn);
}

}  // namespace ptest

// The recorders.
void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef* huart, uint16_t Size)
{
    ptest::g_calls.events.push_back({Size, huart->RxEventType, huart->RxState});
    if (ptest::g_calls.on_event) ptest::g_calls.on_event(huart, Size);
}
void HAL_UART_ErrorCallback(UART_HandleTypeDef*)
{
    ++ptest::g_calls.errors;
}
void HAL_UART_RxCpltCallback(UART_HandleTypeDef*)
{
    ++ptest::g_calls.rx_complete;
}
void HAL_UART_RxHalfCpltCallback(UART_HandleTypeDef*)
{
    ++ptest::g_calls.rx_half;
}
