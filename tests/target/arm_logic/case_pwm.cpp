// PWM_valor's single-precision steps on the FPU: (float)ARR * valor / escala, truncated toward zero.
#include <stdint.h>

#include "PWMB.h"
#include "logic_case.h"
#include "main.h"

namespace {

// The board's TIM2 as the configuration leaves it: auto-reload 20000 (a period of 20 001 us).
void board_timer()
{
    register_mirror_clear();
    htim2.Instance = TIM2;
    TIM2->ARR = 20000;
    TIM2->CCR1 = 0xDEADBEEFU;
}

uint32_t compare_for(float valor)
{
    PWM_valor(&PWM1, valor);
    return TIM2->CCR1;
}

}  // namespace

LOGIC_CASE(pwm_record_names_tim2_channel_1)
{
    expect(PWM1.htim == &htim2, "PWM1.htim is not &htim2");
    expect(PWM1.ccr == &TIM2->CCR1, "PWM1.ccr is not TIM2's CCR1");
    expect(PWM1.channel == TIM_CHANNEL_1, "PWM1.channel is %lu", static_cast<unsigned long>(PWM1.channel));
    expect(escala == 100.0f, "escala is %f", static_cast<double>(escala));
}

LOGIC_CASE(pwm_valor_single_precision_points)
{
    board_timer();
    struct Point {
        float valor;
        uint32_t compare;
    };
    const Point points[] = {{33.0f, 6600},   {12.5f, 2500},  {0.004f, 0}, {65535.0f, 13107000}, {0.0f, 0},
                            {100.0f, 20000}, {50.0f, 10000}, {0.5f, 100}, {101.0f, 20200}};
    for (const Point& p : points) {
        uint32_t got = compare_for(p.valor);
        expect(got == p.compare, "PWM_valor(%g) stored %lu, expected %lu", static_cast<double>(p.valor),
               static_cast<unsigned long>(got), static_cast<unsigned long>(p.compare));
    }
}

LOGIC_CASE(pwm_valor_whole_percentages_are_200_per_step)
{
    board_timer();
    for (uint32_t v = 0; v <= 100; ++v) {
        uint32_t got = compare_for(static_cast<float>(v));
        expect(got == 200U * v, "PWM_valor(%lu) stored %lu", static_cast<unsigned long>(v),
               static_cast<unsigned long>(got));
    }
}

// Every value a "V01=" command can produce, against the host's single-precision results.
LOGIC_CASE(pwm_valor_every_reduced_value_matches_the_host)
{
    board_timer();
    for (uint32_t v = 0; v <= 65535; ++v) {
        uint32_t got = compare_for(static_cast<float>(v));
        expect(got == logic_pwm_expected(v), "PWM_valor(%lu) stored %lu, host computed %lu",
               static_cast<unsigned long>(v), static_cast<unsigned long>(got),
               static_cast<unsigned long>(logic_pwm_expected(v)));
    }
}

// The auto-reload register is read at each call, not remembered.
LOGIC_CASE(pwm_valor_reads_the_period_at_the_call)
{
    board_timer();
    TIM2->ARR = 1000;
    uint32_t got = compare_for(50.0f);
    expect(got == 500, "with ARR 1000, 50 %% stored %lu", static_cast<unsigned long>(got));
    TIM2->ARR = 20000;
    got = compare_for(50.0f);
    expect(got == 10000, "with ARR 20000, 50 %% stored %lu", static_cast<unsigned long>(got));
}
