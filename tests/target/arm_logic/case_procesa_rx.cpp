// procesa_rx with the target's strstr, strtok and atoi: which frames switch the LED, which set the PWM
// duty (and to what), and which do nothing.
#include <stdint.h>
#include <string.h>

#include "PWMB.h"
#include "logic_case.h"
#include "main.h"
#include "uart_int_idle_dma.h"

namespace {

constexpr uint32_t kLedLow = 1U << (13 + 16);  // BSRR reset half: C13 driven low
constexpr uint32_t kLedHigh = 1U << 13;        // BSRR set half: C13 driven high
constexpr uint32_t kUntouched = 0xDEADBEEFU;

enum class Action { LedLow, LedHigh, Duty, Nothing };

struct Frame {
    const char* text;
    Action action;
    uint32_t reduced;  // for Duty: the percentage after reduction to 16 bits
};

const Frame kFrames[] = {
    {"V00=1", Action::LedLow, 0},
    {"!V00=1$", Action::LedLow, 0},
    {"V00=1\r\n", Action::LedLow, 0},
    {"V00=12", Action::LedLow, 0},
    {"V01=5 V00=1$", Action::LedLow, 0},
    {"V00=0 V00=1", Action::LedLow, 0},  // both LED commands: "V00=1" is looked for first
    {"V00=1 V00=0$", Action::LedLow, 0},
    {"V00=0$", Action::LedHigh, 0},
    {"V00=0", Action::LedHigh, 0},
    {"V00=0 V01=40$", Action::LedHigh, 0},
    {"V01=75$", Action::Duty, 75},
    {"V01=75", Action::Duty, 75},
    {"V01=75\r\n", Action::Duty, 75},
    {"V01=$", Action::Duty, 0},
    {"V01=", Action::Duty, 0},
    {"V01=$$$", Action::Duty, 0},
    {"V01=abc$", Action::Duty, 0},
    {"V01=-1$", Action::Duty, 65535},
    {"X=7 V01=40$", Action::Duty, 7},
    {"V01=65536$", Action::Duty, 0},
    {"V01=65636$", Action::Duty, 100},
    {"V01=-65436$", Action::Duty, 100},
    {"V01=99999999999$", Action::Duty, 65535},
    {"V01=-99999999999$", Action::Duty, 0},
    {"V01=  42$", Action::Duty, 42},
    {"V01=+5$", Action::Duty, 5},
    {"V01=12abc$", Action::Duty, 12},
    {"V01=100$", Action::Duty, 100},
    {"V01=101$", Action::Duty, 101},
    {"V01=0$", Action::Duty, 0},
    {"!V01=33$", Action::Duty, 33},
    {"V01=777777777777777777777777777777777777777777777$", Action::Duty, 65535},
    {"", Action::Nothing, 0},
    {"hello", Action::Nothing, 0},
    {"V00=", Action::Nothing, 0},
    {"V00=2$", Action::Nothing, 0},
    {"v01=50$", Action::Nothing, 0},
    {"V0=1", Action::Nothing, 0},
    {"V01 =50$", Action::Nothing, 0},
};

// The frame as reception leaves it: the bytes, then zeros to the end of the 100-byte buffer.
void receive(const char* text)
{
    memset(trama_rx, 0, sizeof trama_rx);
    memcpy(trama_rx, text, strlen(text));
}

}  // namespace

LOGIC_CASE(procesa_rx_frames)
{
    for (const Frame& f : kFrames) {
        register_mirror_clear();
        htim2.Instance = TIM2;
        TIM2->ARR = 20000;
        TIM2->CCR1 = kUntouched;
        GPIOC->BSRR = 0;
        receive(f.text);
        procesa_rx();

        const uint32_t bsrr = GPIOC->BSRR;
        const uint32_t ccr = TIM2->CCR1;
        switch (f.action) {
            case Action::LedLow:
            case Action::LedHigh: {
                const uint32_t want = f.action == Action::LedLow ? kLedLow : kLedHigh;
                expect(bsrr == want && ccr == kUntouched,
                       "\"%s\": BSRR 0x%08lx CCR1 0x%08lx, expected BSRR 0x%08lx only", f.text,
                       static_cast<unsigned long>(bsrr), static_cast<unsigned long>(ccr),
                       static_cast<unsigned long>(want));
                break;
            }
            case Action::Duty: {
                const uint32_t want = logic_pwm_expected(f.reduced);
                expect(ccr == want && bsrr == 0, "\"%s\": CCR1 %lu BSRR 0x%08lx, expected CCR1 %lu (%lu %%) only",
                       f.text, static_cast<unsigned long>(ccr), static_cast<unsigned long>(bsrr),
                       static_cast<unsigned long>(want), static_cast<unsigned long>(f.reduced));
                break;
            }
            case Action::Nothing:
                expect(ccr == kUntouched && bsrr == 0, "\"%s\" was acted on: CCR1 0x%08lx BSRR 0x%08lx", f.text,
                       static_cast<unsigned long>(ccr), static_cast<unsigned long>(bsrr));
                break;
        }
    }
}

// The value text goes through procesa: after a "V01=" frame it holds the text that was converted.
LOGIC_CASE(procesa_rx_keeps_the_value_text)
{
    register_mirror_clear();
    htim2.Instance = TIM2;
    TIM2->ARR = 20000;
    receive("V01=75$");
    procesa_rx();
    expect(strcmp(procesa, "75") == 0, "procesa holds \"%s\" after V01=75$", procesa);
    receive("X=7 V01=40$");
    procesa_rx();
    expect(strcmp(procesa, "7 V01=40") == 0, "procesa holds \"%s\" after X=7 V01=40$", procesa);
}
