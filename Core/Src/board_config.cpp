#include "main.h"

TIM_HandleTypeDef htim2;
