// Pins: configuration of a port's pins, and reading and writing their levels.
//
// A pin's mode is encoded as the value of its 2-bit MODER field (00 input, 01 output, 10 alternate
// function, 11 analog) with the output type in bit 4 (0 push-pull, 1 open-drain).
#pragma once

#include "stm32f4xx_hal_def.h"

typedef struct {
    uint32_t Pin;        // mask of the pins to configure (GPIO_PIN_x, or several or-ed together)
    uint32_t Mode;       // GPIO_MODE_x
    uint32_t Pull;       // GPIO_NOPULL, GPIO_PULLUP, GPIO_PULLDOWN
    uint32_t Speed;      // GPIO_SPEED_FREQ_x
    uint32_t Alternate;  // alternate function number 0..15 (GPIO_AFx_...), alternate-function modes only
} GPIO_InitTypeDef;

typedef enum {
    GPIO_PIN_RESET = 0,
    GPIO_PIN_SET,
} GPIO_PinState;

#define GPIO_PIN_0 ((uint16_t)0x0001U)
#define GPIO_PIN_1 ((uint16_t)0x0002U)
#define GPIO_PIN_2 ((uint16_t)0x0004U)
#define GPIO_PIN_3 ((uint16_t)0x0008U)
#define GPIO_PIN_4 ((uint16_t)0x0010U)
#define GPIO_PIN_5 ((uint16_t)0x0020U)
#define GPIO_PIN_6 ((uint16_t)0x0040U)
#define GPIO_PIN_7 ((uint16_t)0x0080U)
#define GPIO_PIN_8 ((uint16_t)0x0100U)
#define GPIO_PIN_9 ((uint16_t)0x0200U)
#define GPIO_PIN_10 ((uint16_t)0x0400U)
#define GPIO_PIN_11 ((uint16_t)0x0800U)
#define GPIO_PIN_12 ((uint16_t)0x1000U)
#define GPIO_PIN_13 ((uint16_t)0x2000U)
#define GPIO_PIN_14 ((uint16_t)0x4000U)
#define GPIO_PIN_15 ((uint16_t)0x8000U)
#define GPIO_PIN_All ((uint16_t)0xFFFFU)

#define GPIO_MODE_INPUT 0x00000000U
#define GPIO_MODE_OUTPUT_PP 0x00000001U
#define GPIO_MODE_OUTPUT_OD 0x00000011U
#define GPIO_MODE_AF_PP 0x00000002U
#define GPIO_MODE_AF_OD 0x00000012U
#define GPIO_MODE_ANALOG 0x00000003U

#define GPIO_NOPULL 0x00000000U
#define GPIO_PULLUP 0x00000001U
#define GPIO_PULLDOWN 0x00000002U

#define GPIO_SPEED_FREQ_LOW 0x00000000U
#define GPIO_SPEED_FREQ_MEDIUM 0x00000001U
#define GPIO_SPEED_FREQ_HIGH 0x00000002U
#define GPIO_SPEED_FREQ_VERY_HIGH 0x00000003U

#define GPIO_AF1_TIM2 ((uint8_t)0x01U)
#define GPIO_AF7_USART1 ((uint8_t)0x07U)
#define GPIO_AF7_USART2 ((uint8_t)0x07U)

// Configures every pin set in GPIO_Init->Pin, from pin 0 up: speed and output type (output and
// alternate-function modes), pull (every mode but analog), alternate function (alternate-function modes),
// then the mode. The output data register is not written, so an output drives whatever its latch held.
// Thread level only: each field is a read-modify-write of a register shared by the port's 16 pins.
void HAL_GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_Init);

// One 32-bit write to BSRR: the masked pins' latches go to 1 (any state but GPIO_PIN_RESET) or to 0.
// No read-modify-write, so it may run in interrupt context; it works in every pin mode.
void HAL_GPIO_WritePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, GPIO_PinState PinState);

// GPIO_PIN_SET when (IDR & GPIO_Pin) is not 0: the sampled level of the pin in any mode. Any context.
GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);

// Inverts the masked pins' latches with one BSRR write computed from ODR. Not used by the node.
void HAL_GPIO_TogglePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
