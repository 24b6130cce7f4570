// Pin macros taking a board pin label such as LED, SW or onewire (see main.h): the label names both the
// port (LED_GPIO_Port) and the pin mask (LED_Pin).
#pragma once

#include "main.h"

#define PIN_ON(label) HAL_GPIO_WritePin(label##_GPIO_Port, label##_Pin, GPIO_PIN_SET)
#define PIN_OFF(label) HAL_GPIO_WritePin(label##_GPIO_Port, label##_Pin, GPIO_PIN_RESET)
#define PIN_PUT(label, value) ((value) ? PIN_ON(label) : PIN_OFF(label))
#define PIN_READ(label) HAL_GPIO_ReadPin(label##_GPIO_Port, label##_Pin)
#define PIN_BLINK(label) HAL_GPIO_TogglePin(label##_GPIO_Port, label##_Pin)
