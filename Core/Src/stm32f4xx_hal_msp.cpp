// The board's hooks: what the platform's initialisation operations call to enable a peripheral's
// clock, route its pins, link its DMA stream and enable its interrupt. Each hook serves only its own
// peripheral and does nothing for another instance. Thread level, during set-up.
#include "main.h"

// From HAL_Init: the system configuration controller's and the power interface's clocks.
void HAL_MspInit(void)
{
    __HAL_RCC_SYSCFG_CLK_ENABLE();
    __HAL_RCC_PWR_CLK_ENABLE();
}

// Pins of port A handed to a peripheral: push-pull alternate function, no pull.
static void pines_alternos_puerto_a(uint16_t pines, uint32_t velocidad, uint32_t funcion)
{
    GPIO_InitTypeDef GPIO_InitStruct = {};
    GPIO_InitStruct.Pin = pines;
    GPIO_InitStruct.Mode = GPIO_MODE_AF_PP;
    GPIO_InitStruct.Pull = GPIO_NOPULL;
    GPIO_InitStruct.Speed = velocidad;
    GPIO_InitStruct.Alternate = funcion;
    HAL_GPIO_Init(GPIOA, &GPIO_InitStruct);
}

// From HAL_UART_Init, on the first initialisation of a handle.
void HAL_UART_MspInit(UART_HandleTypeDef* huart)
{
    if (huart->Instance == USART1) {
        __HAL_RCC_USART1_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        // A9 TX, A10 RX.
        pines_alternos_puerto_a(GPIO_PIN_9 | GPIO_PIN_10, GPIO_SPEED_FREQ_VERY_HIGH, GPIO_AF7_USART1);

        // Reception by DMA2 Stream 2, channel 4 (USART1 RX): one byte per request from DR into
        // successive bytes of memory, once through the buffer, direct mode.
        hdma_usart1_rx.Instance = DMA2_Stream2;
        hdma_usart1_rx.Init.Channel = DMA_CHANNEL_4;
        hdma_usart1_rx.Init.Direction = DMA_PERIPH_TO_MEMORY;
        hdma_usart1_rx.Init.PeriphInc = DMA_PINC_DISABLE;
        hdma_usart1_rx.Init.MemInc = DMA_MINC_ENABLE;
        hdma_usart1_rx.Init.PeriphDataAlignment = DMA_PDATAALIGN_BYTE;
        hdma_usart1_rx.Init.MemDataAlignment = DMA_MDATAALIGN_BYTE;
        hdma_usart1_rx.Init.Mode = DMA_NORMAL;
        hdma_usart1_rx.Init.Priority = DMA_PRIORITY_LOW;
        hdma_usart1_rx.Init.FIFOMode = DMA_FIFOMODE_DISABLE;
        if (HAL_DMA_Init(&hdma_usart1_rx) != HAL_OK) {
            Error_Handler();
        }
        __HAL_LINKDMA(huart, hdmarx, hdma_usart1_rx);

        HAL_NVIC_SetPriority(USART1_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(USART1_IRQn);
    } else if (huart->Instance == USART2) {
        __HAL_RCC_USART2_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        // A2 TX, A3 RX. Blocking transmission only: no DMA, no interrupt.
        pines_alternos_puerto_a(GPIO_PIN_2 | GPIO_PIN_3, GPIO_SPEED_FREQ_VERY_HIGH, GPIO_AF7_USART2);
    }
}

// From HAL_TIM_Base_Init, while the handle is still in reset. TIM2 gets no interrupt.
void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim_base)
{
    if (htim_base->Instance == TIM2) {
        __HAL_RCC_TIM2_CLK_ENABLE();
    }
}

// From MX_TIM2_Init, last: A0 as TIM2 channel 1.
void HAL_TIM_MspPostInit(TIM_HandleTypeDef* htim)
{
    if (htim->Instance == TIM2) {
        __HAL_RCC_GPIOA_CLK_ENABLE();
        pines_alternos_puerto_a(GPIO_PIN_0, GPIO_SPEED_FREQ_LOW, GPIO_AF1_TIM2);
    }
}
