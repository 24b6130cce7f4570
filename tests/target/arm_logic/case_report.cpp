// The temperature report through the target's own sprintf (newlib-nano with float support): one
// decimal, rounded to nearest with a tie to the even digit, sign only when negative.
#include <stdio.h>
#include <string.h>

#include "logic_case.h"
#include "main.h"

namespace {

bool report_is(float celsius, const char* expected)
{
    formatea_temperatura(celsius);
    return expect(strcmp(texto, expected) == 0, "%.4f C reported as \"%s\", expected \"%s\"",
                  static_cast<double>(celsius), texto, expected);
}

}  // namespace

LOGIC_CASE(report_rounding_points)
{
    report_is(23.56f, "!A00=23.6$");
    report_is(23.25f, "!A00=23.2$");
    report_is(23.75f, "!A00=23.8$");
    report_is(-0.0625f, "!A00=-0.1$");
    report_is(85.0f, "!A00=85.0$");
    report_is(25.0625f, "!A00=25.1$");
    report_is(0.0f, "!A00=0.0$");
    report_is(-55.0f, "!A00=-55.0$");
    report_is(125.0f, "!A00=125.0$");
    report_is(-10.125f, "!A00=-10.1$");
}

// Every temperature a 12-bit DS18B20 can report, against the host's formatting of the same value.
LOGIC_CASE(report_every_sixteenth_from_minus_55_to_125)
{
    for (int32_t i = 0; i < logic_report_count; ++i) {
        const int32_t raw = logic_report_first + i;
        char expected[16];
        snprintf(expected, sizeof expected, "!A00=%s$", logic_report_expected[i]);
        report_is(static_cast<float>(raw) / 16.0f, expected);
    }
}

LOGIC_CASE(report_of_the_switch)
{
    const char* high = texto_interruptor(GPIO_PIN_SET);
    const char* low = texto_interruptor(GPIO_PIN_RESET);
    expect(strcmp(high, "!A01=1$") == 0, "switch high reported as \"%s\"", high);
    expect(strcmp(low, "!A01=0$") == 0, "switch low reported as \"%s\"", low);
}
