#include "PWMB.h"

PWMS PWM1 = {&htim2, &TIM2->CCR1, TIM_CHANNEL_1};
float escala = 100.0f;

void PWM_init(PWMS* pwm)
{
    (void)HAL_TIM_PWM_Start(pwm->htim, pwm->channel);
}

void PWM_valor(PWMS* pwm, float valor)
{
    // Each step rounds to float, as the FPU does it: 20000 * 33 / 100 gives exactly 6600, and for large
    // values the result may differ by one from an integer calculation.
    float periodo = (float)(uint32_t)pwm->htim->Instance->ARR;
    float producto = periodo * valor;
    float compara = producto / escala;
    // A float outside 0..2^32 has no unsigned 32-bit value (the conversion is undefined in C++); the
    // FPU's conversion saturates, so do the same: a negative value or NaN gives 0, a huge one all ones.
    uint32_t valor_ccr;
    if (!(compara >= 0.0f)) {
        valor_ccr = 0U;
    } else if (compara >= 4294967296.0f) {
        valor_ccr = 0xFFFFFFFFU;
    } else {
        valor_ccr = (uint32_t)compara;
    }
    *pwm->ccr = valor_ccr;
}
