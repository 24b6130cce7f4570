// What the dashboard protocol makes of a received frame and of a measured temperature, written from the
// protocol's rules alone (not from the firmware) so that the soak can judge the node against it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace soak {

struct Effect {
    enum class Kind { None, Led, Pwm };
    Kind kind = Kind::None;
    int led_level = 0;  // Led: the level of C13 (0: lit)
    uint16_t duty = 0;  // Pwm: the percentage reduced to 16 bits
};

// The effect of the bytes that reception stored (at most 50): read as text up to the first zero byte,
// "V00=1" anywhere drives the LED pin low, else "V00=0" drives it high, else "V01=" sets the duty from
// the text between the frame's first "=" and the next "$".
Effect interpret_frame(std::string_view stored);

// The PWM output's high time in microseconds for a duty: 0 for 0 (constantly low), 200 per percent up
// to 100 (the compare value against an auto-reload of 20000), and the whole period above 100
// (constantly high).
constexpr double kPwmPeriodUs = 20001.0;
double pwm_high_us(uint16_t duty);

// The temperature report for a conversion result: "!A00=" and the value with one decimal, rounded to the
// nearest tenth of the exact binary value with an exact half going to the even digit, and "$".
std::string temperature_report(double celsius);

}  // namespace soak
