// A PWM output: the timer that makes it, the compare register of its channel, and its duty set as a
// fraction of the scale `escala` (100.0, so the value is a percentage).
#pragma once

#include "main.h"

typedef struct {
    TIM_HandleTypeDef* htim;  // the timer; its auto-reload register gives the period
    reg32_t* ccr;             // the channel's capture/compare register, written directly
    uint32_t channel;         // TIM_CHANNEL_x
} PWMS;

extern PWMS PWM1;     // TIM2 channel 1, pin A0
extern float escala;  // full scale of PWM_valor: 100.0

// Starts the output on the record's channel (and the timer's counter). The platform's result is ignored.
void PWM_init(PWMS* pwm);
// Compare value = ARR * valor / escala in single precision, truncated toward zero. With the compare
// preload on it takes effect at the next counter overflow: a period in progress is never cut short.
// No range check: a value above `escala` keeps the output high for the whole period.
void PWM_valor(PWMS* pwm, float valor);
