// Platform core: written with the tick and delay.
#include "stm32f4xx_hal.h"
