// The judge of a scenario's expectations, fed by hand: windows, what counts as seen, instants through a
// probe, halts known only at the run's end, and runs that end early.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario_judge.h"

namespace {

using namespace sim;
using Result = Verdict::Result;

struct Judged {
    explicit Judged(const std::string& text, ScenarioJudge::Probe probe = {})
        : scenario(parse(text)), judge(scenario, std::move(probe), nullptr, [] { return 0.0; })
    {}
    static Scenario parse(const std::string& text)
    {
        std::istringstream in(text);
        return parse_scenario(in, "t.scenario");
    }
    void send(const std::string& port, const std::string& text, Picos at)
    {
        for (char c : text) judge.serial(port, static_cast<uint8_t>(c), at);
    }
    Result result(size_t i) const { return judge.verdicts()[i].result; }
    const std::string& seen(size_t i) const { return judge.verdicts()[i].seen; }

    Scenario scenario;
    ScenarioJudge judge;
};

TEST(ScenarioJudge, SerialWindowsCountOnlyTheBytesSentInThem)
{
    Judged j(
        "1 wait-serial USART1 1 !A01=0$\n"  // 0: the text straddles its opening, then comes whole
        "1 no-serial USART1 0.5 !A00=\n"    // 1: fails on the text
        "1 no-serial USART2 3\n"            // 2: silence, broken by one byte
        "1 wait-serial USART1 0.2 late\n"   // 3: arrives after its window
        "1 no-serial USART1 0.05 x\n");     // 4: closed before the next bytes
    j.send("USART1", "!A01", milliseconds(999));
    j.send("USART1", "=0$", seconds(1));
    EXPECT_EQ(j.result(0), Result::Pending) << "its first half came before the window";
    j.send("USART1", "!A00=22.0$!A01=0$", milliseconds(1100));
    EXPECT_EQ(j.result(0), Result::Pass);
    EXPECT_EQ(j.result(1), Result::Fail);
    EXPECT_EQ(j.seen(1), "'!A00=' at 1.1 s");
    EXPECT_EQ(j.result(4), Result::Pass) << "its window closed before the byte";
    j.send("USART1", "late", milliseconds(1300));
    EXPECT_EQ(j.result(3), Result::Fail);
    EXPECT_EQ(j.seen(3), "the last bytes on USART1 '!A01=0$!A00=22.0$!A01=0$'");
    j.send("USART2", "H", seconds(2));
    EXPECT_EQ(j.result(2), Result::Fail);
    EXPECT_EQ(j.seen(2), "'H' at 2 s");
}

// A window holds the bytes sent from T to T+WITHIN, both ends included, on its own port only: a byte a
// picosecond outside either end, or the text on the other port, is not seen by it.
TEST(ScenarioJudge, WindowsEndToThePicosecondAndOnTheirOwnPort)
{
    struct Case {
        const char* what;
        std::string line;  // the window is from 1 s to 2 s
        std::string port;  // where the byte goes
        Picos at;
        Result result;  // once the window is over
    };
    const Picos start = seconds(1), end = seconds(2);
    const Case cases[] = {
        {"wait: at the opening", "1 wait-serial USART1 1 x", "USART1", start, Result::Pass},
        {"wait: just before the opening", "1 wait-serial USART1 1 x", "USART1", start - 1, Result::Fail},
        {"wait: at the end", "1 wait-serial USART1 1 x", "USART1", end, Result::Pass},
        {"wait: just after the end", "1 wait-serial USART1 1 x", "USART1", end + 1, Result::Fail},
        {"wait: on the other port", "1 wait-serial USART2 1 x", "USART1", end - 1, Result::Fail},
        {"absence: at the end", "1 no-serial USART1 1 x", "USART1", end, Result::Fail},
        {"absence: just after the end", "1 no-serial USART1 1 x", "USART1", end + 1, Result::Pass},
        {"absence: just before the opening", "1 no-serial USART1 1", "USART1", start - 1, Result::Pass},
        {"absence: on the other port", "1 no-serial USART2 1 x", "USART1", start, Result::Pass},
    };
    for (const Case& c : cases) {
        Judged j(c.line + "\n");
        j.send(c.port, "x", c.at);
        j.judge.finish(seconds(3), "time limit", false);
        EXPECT_EQ(j.result(0), c.result) << c.what << ": " << j.seen(0);
    }
}

TEST(ScenarioJudge, TemperatureReportsAreReadAsNumbers)
{
    Judged j("0 wait-temp 5 23.5 0.05\n0 wait-temp 5 -10 0\n6 wait-temp 1 22 1\n6 wait-temp 1 22 1\n");
    j.send("USART1", "!A00=23.5$", seconds(1));
    EXPECT_EQ(j.result(0), Result::Pass);
    EXPECT_EQ(j.result(1), Result::Fail);
    EXPECT_EQ(j.seen(1), "'!A00=23.5$' at 1 s");
    j.send("USART1", "!A00=2x$", milliseconds(6500));
    EXPECT_EQ(j.result(2), Result::Fail) << "not a number";
    j.judge.advance(seconds(7));
    EXPECT_EQ(j.result(3), Result::Fail) << "one report per expectation: the first";
}

TEST(ScenarioJudge, InstantsLookThroughTheProbe)
{
    trace::PinLevel c13{"C13", 0, false};
    trace::Pwm pwm{microseconds(20001), microseconds(10000)};
    ScenarioJudge::Probe probe{[&](char, int) { return c13; }, [&] { return pwm; }};
    Judged j(
        "1 expect-led dark\n2 expect-led lit\n2 expect-pin C13 0\n2 expect-pwm duty 50 0.01\n"
        "2 expect-pwm high 10000 0\n",
        probe);
    j.judge.advance(seconds(1));
    EXPECT_EQ(j.result(0), Result::Pass) << "low but not driven: dark";
    EXPECT_EQ(j.judge.next_due(), seconds(2));
    c13.driven = true;
    j.judge.advance(seconds(2));
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(j.result(i), Result::Pass) << i;
    Judged blind("1 expect-led lit\n");
    EXPECT_EQ(blind.result(0), Result::Skip) << "no probe: out of sight";
}

TEST(ScenarioJudge, HaltsAreJudgedAtTheirOwnTimeWhenTheRunEnds)
{
    // The run goes past the windows before the spinning core is known to have stopped at 0.101 s.
    Judged j("0 no-halt 0.09\n0.09 wait-halt 0.03\n0.2 no-halt\n0.5 no-serial USART1 1\n");
    j.judge.advance(seconds(1));
    EXPECT_EQ(j.result(1), Result::Pending);
    j.judge.halt("core stopped", microseconds(101000));
    j.judge.finish(milliseconds(1084), "halt", true);
    EXPECT_EQ(j.result(0), Result::Pass);
    EXPECT_EQ(j.result(1), Result::Pass);
    EXPECT_EQ(j.result(2), Result::Pass);
    EXPECT_EQ(j.result(3), Result::Pass) << "a halted node sends nothing more";
}

// A reset fails the expectations of its absence in its window, passes a wait for it of its cause (or
// of any cause), and fails one waiting for another cause; a window with none fails a wait.
TEST(ScenarioJudge, ResetsAreJudgedByTheirWindowAndCause)
{
    Judged j(
        "0 no-reset 0.5\n"           // 0: closed before the reset
        "1 no-reset 2\n"             // 1: fails on the reset at 2 s
        "1 wait-reset 2 watchdog\n"  // 2: passes
        "1 wait-reset 2 pin\n"       // 3: fails, the wrong cause
        "1 wait-reset 2\n"           // 4: any cause passes
        "3.5 no-reset\n"             // 5: to the end of the run: passes
        "3.5 wait-reset 1\n");       // 6: nothing comes: fails
    j.judge.advance(seconds(1));
    j.judge.reset("watchdog", seconds(2));
    EXPECT_EQ(j.result(0), Result::Pass);
    EXPECT_EQ(j.result(1), Result::Fail);
    EXPECT_EQ(j.seen(1), "a reset (watchdog) at 2 s");
    EXPECT_EQ(j.result(2), Result::Pass);
    EXPECT_EQ(j.result(3), Result::Fail);
    EXPECT_EQ(j.seen(3), "a reset (watchdog) at 2 s");
    EXPECT_EQ(j.result(4), Result::Pass);
    j.judge.finish(seconds(5), "time limit", false);
    EXPECT_EQ(j.result(5), Result::Pass);
    EXPECT_EQ(j.result(6), Result::Fail);
    EXPECT_EQ(j.seen(6), "no reset");
}

TEST(ScenarioJudge, ARunThatEndsEarlyLeavesItsOpenWindowsUnjudged)
{
    Judged j("0 no-violation\n1 wait-serial USART1 5 x\n1 no-log 5\n9 wait-halt 1\n");
    j.judge.violation("recovery 0.5 us", milliseconds(500));
    j.judge.finish(seconds(2), "interrupted", false);
    EXPECT_EQ(j.result(0), Result::Fail);
    EXPECT_EQ(j.seen(0), "a 1-Wire timing violation (recovery 0.5 us) at 0.5 s");
    EXPECT_EQ(j.result(1), Result::Error);
    EXPECT_EQ(j.result(2), Result::Error);
    EXPECT_EQ(j.result(3), Result::Error);
    EXPECT_EQ(j.seen(3), "the run ended (interrupted) at 2 s before this was judged");
}

}  // namespace
