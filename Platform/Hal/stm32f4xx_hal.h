// The platform's umbrella header: everything the firmware may call. (Modules are added as they are written.)
#pragma once

#include "stm32f4xx.h"
