// Switching one pin between a push-pull output (to hold a line low) and a floating input (to let an
// external pull-up raise it), by writing the port's configuration registers directly: a few
// read-modify-writes instead of the platform's general pin set-up, fast enough for the 1 us low phase
// of a 1-Wire read slot.
#pragma once

#include <stdint.h>

#include "stm32f4xx_hal.h"

// The lowest pin set in `GPIO_Pin` becomes a push-pull output at medium speed; its pull setting and
// its output latch are left as they are, so the latch decides the level it drives. Further pins in the
// mask are ignored; an empty mask changes nothing.
void Output_Pin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
// The lowest pin set in `GPIO_Pin` becomes an input with no pull-up or pull-down; its output type and
// speed are left as they are. Further pins are ignored; an empty mask changes nothing.
void Input_Pin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
