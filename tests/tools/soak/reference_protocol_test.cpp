// The soak's reference reading of the protocol: the rules a frame and a report are judged by.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "reference_protocol.h"

namespace {

using soak::Effect;
using soak::interpret_frame;

uint16_t duty_of(const std::string& frame)
{
    Effect e = interpret_frame(frame);
    EXPECT_EQ(e.kind, Effect::Kind::Pwm) << frame;
    return e.duty;
}

TEST(ReferenceProtocol, LedCommandsAnywhereFirstMatchWins)
{
    EXPECT_EQ(interpret_frame("V00=1").led_level, 0);
    EXPECT_EQ(interpret_frame("!V00=1$").led_level, 0);
    EXPECT_EQ(interpret_frame("V00=12\r\n").led_level, 0);
    EXPECT_EQ(interpret_frame("V00=0$").led_level, 1);
    // One action per frame, in the fixed order: the LED before the duty.
    Effect both = interpret_frame("V01=40$V00=0");
    EXPECT_EQ(both.kind, Effect::Kind::Led);
    EXPECT_EQ(both.led_level, 1);
    EXPECT_EQ(interpret_frame("V00=0 V00=1").led_level, 0);
    // The text ends at the first zero byte.
    EXPECT_EQ(interpret_frame(std::string("ab\0V00=1", 8)).kind, Effect::Kind::None);
    EXPECT_EQ(interpret_frame("v00=1 V0=1 V00 =1 V02=5$").kind, Effect::Kind::None);
}

TEST(ReferenceProtocol, DutyTextRunsFromTheFirstEqualsToTheNextDollar)
{
    EXPECT_EQ(duty_of("V01=75$"), 75);
    EXPECT_EQ(duty_of("V01=75"), 75);
    EXPECT_EQ(duty_of("V01=75\r\n"), 75);
    EXPECT_EQ(duty_of("X=7 V01=40$"), 7);
    EXPECT_EQ(duty_of("==V01=5$"), 5);     // leading "=" skipped before the first token
    EXPECT_EQ(duty_of("V01=$$$12$"), 12);  // leading "$" skipped before the value
    EXPECT_EQ(duty_of("V01=$"), 0);
    EXPECT_EQ(duty_of("V01="), 0);
    EXPECT_EQ(duty_of("V01= \t42$"), 42);
    EXPECT_EQ(duty_of("V01=+7$"), 7);
    EXPECT_EQ(duty_of("V01=7abc$"), 7);
}

TEST(ReferenceProtocol, DutyIsTheLow16BitsOfTheClampedNumber)
{
    EXPECT_EQ(duty_of("V01=-1$"), 65535);
    EXPECT_EQ(duty_of("V01=65536$"), 0);
    EXPECT_EQ(duty_of("V01=65636$"), 100);
    EXPECT_EQ(duty_of("V01=-65436$"), 100);
    EXPECT_EQ(duty_of("V01=2147483647$"), 65535);
    EXPECT_EQ(duty_of("V01=99999999999$"), 65535);
    EXPECT_EQ(duty_of("V01=-99999999999$"), 0);
    EXPECT_EQ(duty_of("V01=-2147483648$"), 0);
}

TEST(ReferenceProtocol, PwmHighTime)
{
    EXPECT_EQ(soak::pwm_high_us(0), 0.0);
    EXPECT_EQ(soak::pwm_high_us(1), 200.0);
    EXPECT_EQ(soak::pwm_high_us(100), 20000.0);  // one microsecond short of the 20001 us period
    EXPECT_EQ(soak::pwm_high_us(101), soak::kPwmPeriodUs);
    EXPECT_EQ(soak::pwm_high_us(65535), soak::kPwmPeriodUs);
}

TEST(ReferenceProtocol, TemperatureReportRoundsHalfToEven)
{
    EXPECT_EQ(soak::temperature_report(-0.0625), "!A00=-0.1$");
    EXPECT_EQ(soak::temperature_report(85.0), "!A00=85.0$");
    EXPECT_EQ(soak::temperature_report(25.0625), "!A00=25.1$");
    EXPECT_EQ(soak::temperature_report(23.25), "!A00=23.2$");
    EXPECT_EQ(soak::temperature_report(23.75), "!A00=23.8$");
    EXPECT_EQ(soak::temperature_report(-10.125), "!A00=-10.1$");
    EXPECT_EQ(soak::temperature_report(-55.0), "!A00=-55.0$");
    EXPECT_EQ(soak::temperature_report(125.0), "!A00=125.0$");
    // The integer rounding agrees with the C library's on every step of the sensor's range.
    for (int k = -55 * 16; k <= 125 * 16; ++k) {
        char want[32];
        std::snprintf(want, sizeof want, "!A00=%.1f$", k / 16.0);
        ASSERT_EQ(soak::temperature_report(k / 16.0), want) << k;
    }
}

}  // namespace
