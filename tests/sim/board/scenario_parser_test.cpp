// Scenario files: what each verb becomes, exact times, escapes, and errors that name the line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "scenario.h"

namespace {

using namespace sim;

Scenario parse(const std::string& text)
{
    std::istringstream in(text);
    return parse_scenario(in, "test.scn");
}

// The message of the error the text raises ("" when it parses).
std::string error_of(const std::string& text)
{
    try {
        parse(text);
    } catch (const ScenarioError& error) {
        return error.what();
    }
    return "";
}

TEST(ScenarioParser, ReadsEveryVerb)
{
    const Scenario s = parse(
        "# a node on the bench\n"
        "\n"
        "0.5 send V01=75$\n"
        "  2   break 10   # long enough to be a framing error\n"
        "3 noise\n"
        "4 switch 1\n"
        "4 switch float\n"
        "5 temp -10.125\n"
        "6 sensor absent\n"
        "6.25 sensor low\n"
        "7 sensor corrupt\n"
        "8 sensor ok\n");
    ASSERT_EQ(s.steps.size(), 10U);
    using V = ScenarioStep::Verb;
    EXPECT_EQ(s.steps[0].verb, V::Send);
    EXPECT_EQ(s.steps[0].bytes, "V01=75$");
    EXPECT_EQ(s.steps[0].line, 3);
    EXPECT_EQ(s.steps[1].verb, V::Break);
    EXPECT_EQ(s.steps[1].length, milliseconds(10));
    EXPECT_EQ(s.steps[1].at, seconds(2));
    EXPECT_EQ(s.steps[2].verb, V::Noise);
    EXPECT_EQ(s.steps[3].position, SwitchPosition::High);
    EXPECT_EQ(s.steps[4].position, SwitchPosition::Floating);
    EXPECT_DOUBLE_EQ(s.steps[5].celsius, -10.125);
    EXPECT_EQ(s.steps[6].sensor, SensorCondition::Absent);
    EXPECT_EQ(s.steps[7].sensor, SensorCondition::HeldLow);
    EXPECT_EQ(s.steps[8].sensor, SensorCondition::Corrupt);
    EXPECT_EQ(s.steps[9].sensor, SensorCondition::Ok);
    EXPECT_EQ(s.steps[9].line, 12);
}

TEST(ScenarioParser, ReadsTheResetsAndFaults)
{
    const Scenario s = parse(
        "1 reset\n"
        "2 power off\n"
        "3 power on\n"
        "4 brownout 2.5\n"
        "5 fault hardfault\n"
        "6 stuck usart1-txe\n");
    using V = ScenarioStep::Verb;
    ASSERT_EQ(s.steps.size(), 6U);
    EXPECT_EQ(s.steps[0].verb, V::Reset);
    EXPECT_EQ(s.steps[1].verb, V::Power);
    EXPECT_FALSE(s.steps[1].on);
    EXPECT_TRUE(s.steps[2].on);
    EXPECT_EQ(s.steps[3].verb, V::Brownout);
    EXPECT_EQ(s.steps[3].length, microseconds(2500));
    EXPECT_EQ(s.steps[4].verb, V::Fault);
    EXPECT_EQ(s.steps[5].verb, V::Stuck);
}

TEST(ScenarioParser, TimesAreExactDecimalSeconds)
{
    // Through a double, 0.1 s would be 100000000000.000006 ps and 4.8 s would round down.
    EXPECT_EQ(parse_seconds("0.1"), 100'000'000'000ULL);
    EXPECT_EQ(parse_seconds("4.8"), 4'800'000'000'000ULL);
    EXPECT_EQ(parse_seconds("86400"), seconds(86400));
    EXPECT_EQ(parse_seconds(".5"), milliseconds(500));
    EXPECT_EQ(parse_seconds("0.000000000001"), 1U);
    EXPECT_THROW(parse_seconds("0.0000000000001"), std::invalid_argument);  // below a picosecond
    EXPECT_THROW(parse_seconds("-1"), std::invalid_argument);
    EXPECT_THROW(parse_seconds("1e3"), std::invalid_argument);
    EXPECT_THROW(parse_seconds("."), std::invalid_argument);
    EXPECT_THROW(parse_seconds("99999999"), std::invalid_argument);  // would overflow picoseconds
}

TEST(ScenarioParser, SendTextKeepsEverythingAndResolvesEscapes)
{
    const Scenario s = parse(
        "1 send V00=1\\r\\n\n"
        "2 send !V00=1$ # not a comment here\n"
        "3 send \\x56\\x30\\x31=\\x00\\\\\\t \\x20\n"
        "4 send V01=75$\r\n");  // a file written with CRLF line ends
    EXPECT_EQ(s.steps[0].bytes, "V00=1\r\n");
    EXPECT_EQ(s.steps[1].bytes, "!V00=1$ # not a comment here");
    EXPECT_EQ(s.steps[2].bytes, std::string("V01=\0\\\t  ", 9));
    EXPECT_EQ(s.steps[3].bytes, "V01=75$");
    EXPECT_EQ(unescape("\\xff"), "\xff");
}

TEST(ScenarioParser, ErrorsNameTheFileAndLine)
{
    EXPECT_EQ(error_of("1 send x\n2 sned x\n").rfind("test.scn:2: unknown verb 'sned' (send, break,", 0), 0U);
    EXPECT_EQ(error_of("# c\nsoon send x\n").rfind("test.scn:2: a time must be seconds", 0), 0U);
    EXPECT_EQ(error_of("5 noise\n4 noise\n"), "test.scn:2: time 4 s is earlier than the line before's");
    EXPECT_EQ(error_of("1\n"), "test.scn:1: a verb must follow the time");
    EXPECT_EQ(error_of("1 send\n"), "test.scn:1: send needs the text to send");
    EXPECT_EQ(error_of("1 send V\\q\n"), "test.scn:1: unknown escape '\\q' (\\r \\n \\t \\0 \\\\ \\xNN)");
    EXPECT_EQ(error_of("1 send V\\\n"), "test.scn:1: a '\\' at the end of the text escapes nothing (write \\\\)");
    EXPECT_EQ(error_of("1 break 0\n"), "test.scn:1: a break lasts more than 0 and at most 60000 ms");
    EXPECT_EQ(error_of("1 break ten\n"), "test.scn:1: the length of a break must be a number, not 'ten'");
    EXPECT_EQ(error_of("1 switch on\n"), "test.scn:1: switch takes 0, 1 or float, not 'on'");
    EXPECT_EQ(error_of("1 switch 1 0\n"), "test.scn:1: unexpected '0' after switch's argument");
    EXPECT_EQ(error_of("1 temp 130\n"), "test.scn:1: the DS18B20 measures -55 to 125 C, not 130");
    EXPECT_EQ(error_of("1 temp nan\n"), "test.scn:1: a temperature must be a number, not 'nan'");
    EXPECT_EQ(error_of("1 sensor gone\n"), "test.scn:1: sensor takes ok, absent, low or corrupt, not 'gone'");
}

TEST(ScenarioParser, ReadsExpectationsBesideStimuliWithRelativeTimes)
{
    const Scenario s = parse(
        "0 crystal missing\n"
        "0.5 send V00=1\n"
        "+0.25 wait-serial USART1 5 !A00=23.5$ # a byte, not a comment\n"
        "1 no-serial USART2 2\n"
        "+1 wait-temp 5 23.5 0.05   # a comment\n"
        "3 expect-led dark\n"
        "3 expect-pin B12 1\n"
        "3 expect-pwm high 15000 0.5\n"
        "4 no-halt\n"
        "4 no-log 2\n");
    ASSERT_EQ(s.steps.size(), 1U);
    EXPECT_EQ(s.crystal_missing_line, 1);
    ASSERT_EQ(s.expectations.size(), 8U);
    const Expectation& wait = s.expectations[0];
    EXPECT_EQ(wait.at, milliseconds(750));
    EXPECT_EQ(wait.until, milliseconds(5750));
    EXPECT_EQ(wait.text, "!A00=23.5$ # a byte, not a comment");
    EXPECT_EQ(wait.line, 3);
    EXPECT_EQ(s.expectations[1].text, "");  // silence
    EXPECT_EQ(s.expectations[2].at, seconds(2));
    EXPECT_DOUBLE_EQ(s.expectations[2].tolerance, 0.05);
    EXPECT_EQ(s.expectations[2].written, "wait-temp 5 23.5 0.05");
    EXPECT_EQ(s.expectations[4].pin_port, 'B');
    EXPECT_EQ(s.expectations[4].pin, 12);
    EXPECT_EQ(s.expectations[5].measure, Expectation::Measure::High);
    EXPECT_FALSE(s.expectations[6].until.has_value());
    EXPECT_EQ(s.last_time(), seconds(7));  // wait-temp's window
}

// An expectation's error quotes the line as well.
TEST(ScenarioParser, BadExpectationsNameTheLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"1 wait-serial USART3 1 x\n",
         "wait-serial takes the port USART1 or USART2, not 'USART3' in '1 wait-serial USART3 1 x'"},
        {"1 wait-serial USART1 0 x\n", "wait-serial's window must be longer than 0 s in '1 wait-serial USART1 0 x'"},
        {"1 wait-serial USART1 1\n", "wait-serial needs the text to wait for in '1 wait-serial USART1 1'"},
        {"1 no-serial USART1\n", "no-serial needs the window's length in seconds in '1 no-serial USART1'"},
        {"1 wait-temp 5 warm 1\n", "a temperature must be a number, not 'warm' in '1 wait-temp 5 warm 1'"},
        {"1 wait-temp 5 20\n", "the tolerance is missing (give 0 for an exact value) in '1 wait-temp 5 20'"},
        {"1 expect-led on\n", "expect-led takes lit or dark, not 'on' in '1 expect-led on'"},
        {"1 expect-pin D1 1\n",
         "expect-pin takes a pin such as C13, B12 or A0 (ports A to C, pins 0 to 15), not 'D1' in '1 expect-pin D1 1'"},
        {"1 expect-pin C16 1\n",
         "expect-pin takes a pin such as C13, B12 or A0 (ports A to C, pins 0 to 15), not 'C16' in '1 expect-pin C16 "
         "1'"},
        {"1 expect-pin C13 high\n", "expect-pin takes the level 0 or 1, not 'high' in '1 expect-pin C13 high'"},
        {"1 expect-pwm width 5 1\n",
         "expect-pwm measures duty (percent), high or period (microseconds), not 'width' in '1 expect-pwm width 5 1'"},
        {"1 expect-pwm duty 5 -1\n", "a tolerance is 0 or more, not -1 in '1 expect-pwm duty 5 -1'"},
        {"1 no-halt 2 3\n", "unexpected '3' after no-halt's arguments in '1 no-halt 2 3'"},
        {"1 wait-reset 2 reboot\n",
         "wait-reset takes the cause power-on, pin, software, watchdog or brown-out, not 'reboot' in '1 wait-reset 2 "
         "reboot'"},
        {"1 wait-reset\n", "wait-reset needs the window's length in seconds in '1 wait-reset'"},
        {"1 no-reset 0\n", "no-reset's window must be longer than 0 s in '1 no-reset 0'"},
        {"1 power up\n", "power takes on or off, not 'up'"},
        {"1 brownout 0\n", "a brown-out lasts more than 0 and at most 60000 ms"},
        {"1 brownout\n", "brownout needs its length in milliseconds"},
        {"1 reset now\n", "reset takes no argument"},
        {"1 fault nmi\n", "fault takes hardfault, not 'nmi'"},
        {"1 stuck usart2-txe\n", "stuck takes usart1-txe, not 'usart2-txe'"},
        {"1 crystal missing\n", "the crystal is a part of the board: crystal missing only at time 0"},
        {"2 noise\n1 no-log\n", "time 1 s is earlier than the line before's"},
        {"+x noise\n", "a time must be seconds such as 12 or 0.125, not 'x'"},
    };
    for (auto [text, message] : cases) {
        const std::string line = std::string(text).find('\n') + 1 < std::string(text).size() ? "2" : "1";
        EXPECT_EQ(error_of(text), "test.scn:" + line + ": " + message) << text;
    }
}

TEST(ScenarioRunner, AppliesEachStepAtItsTime)
{
    const Scenario s = parse("0.001 switch 1\n0.003 temp 30\n0.003 noise\n");
    Scheduler scheduler;
    std::vector<std::pair<Picos, ScenarioStep::Verb>> applied;
    Picos now = 0;
    schedule_scenario(s, scheduler, [&](const ScenarioStep& step) { applied.emplace_back(now, step.verb); });
    for (now = 0; now <= milliseconds(4); now += microseconds(500)) scheduler.run_due(now);
    ASSERT_EQ(applied.size(), 3U);
    EXPECT_EQ(applied[0].first, milliseconds(1));
    EXPECT_EQ(applied[1].first, milliseconds(3));
    EXPECT_EQ(applied[1].second, ScenarioStep::Verb::Temp);  // equal times keep the file's order
    EXPECT_EQ(applied[2].second, ScenarioStep::Verb::Noise);
}

}  // namespace
