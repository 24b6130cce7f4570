// The device header the platform and the firmware include: register map plus core intrinsics.
#pragma once

#include "stm32f411_registers.h"
#include "cmsis_intrinsics.h"
