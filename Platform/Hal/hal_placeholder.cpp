#include "stm32f4xx_hal.h"
