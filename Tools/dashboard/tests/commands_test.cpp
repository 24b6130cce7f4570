// Command frames and their pacing to one per report cycle of the node.
#include <gtest/gtest.h>

#include "commands.h"

using dashboard::CommandKind;
using dashboard::CommandPacer;
using namespace std::chrono_literals;

TEST(CommandFrames, LedAndPwmFramesAndTheirRange)
{
    EXPECT_EQ(dashboard::led_frame(true), "V00=1");
    EXPECT_EQ(dashboard::led_frame(false), "V00=0");
    EXPECT_EQ(dashboard::pwm_frame(0), "V01=0$");
    EXPECT_EQ(dashboard::pwm_frame(75), "V01=75$");
    EXPECT_EQ(dashboard::pwm_frame(100), "V01=100$");
    // The node would take -1 as 65535 and 101 upwards as full duty.
    EXPECT_FALSE(dashboard::pwm_frame(-1));
    EXPECT_FALSE(dashboard::pwm_frame(101));
    EXPECT_FALSE(dashboard::pwm_frame(65536));
}

namespace {

// A node whose cycles start every 4.8 s at `start` + k * 4.8 s and report 0.8 s later.
struct PacerBench {
    CommandPacer pacer;
    CommandPacer::Clock::time_point t{};

    void report_at(CommandPacer::Clock::duration at) { pacer.on_cycle_report(CommandPacer::Clock::time_point{} + at); }
    std::optional<std::string> due_at(CommandPacer::Clock::duration at)
    {
        auto d = pacer.take_due(CommandPacer::Clock::time_point{} + at);
        return d ? std::optional(d->frame) : std::nullopt;
    }
};

}  // namespace

TEST(CommandPacer, FirstCommandGoesAtOnceTheSecondAfterTheNodeTookTheFirst)
{
    PacerBench b;
    b.report_at(800ms);
    b.report_at(5600ms);  // the node's period is now known: 4.8 s
    b.pacer.enqueue(CommandKind::Led, "V00=1");
    b.pacer.enqueue(CommandKind::Pwm, "V01=75$");
    EXPECT_EQ(b.due_at(6000ms), "V00=1");  // during the 4 s wait: taken at 9.6 s
    EXPECT_EQ(b.due_at(7000ms), std::nullopt);
    b.report_at(10400ms);  // 4.4 s after sending: from the cycle that took the frame over
    EXPECT_EQ(b.due_at(10400ms), "V01=75$");
    EXPECT_EQ(b.due_at(10500ms), std::nullopt);
}

TEST(CommandPacer, ReportRightAfterSendingMayBeOfTheSameCycleSoItWaitsForTheNext)
{
    PacerBench b;
    b.report_at(800ms);
    b.report_at(5600ms);
    b.pacer.enqueue(CommandKind::Led, "V00=1");
    b.pacer.enqueue(CommandKind::Pwm, "V01=20$");
    EXPECT_EQ(b.due_at(10000ms), "V00=1");  // sent while the node measures (cycle began at 9.6 s)
    b.report_at(10400ms);                   // that cycle's report: reception not re-armed yet
    EXPECT_EQ(b.due_at(10400ms), std::nullopt);
    b.report_at(15200ms);  // the next cycle took V00=1 over and re-armed
    EXPECT_EQ(b.due_at(15200ms), "V01=20$");
}

TEST(CommandPacer, WaitingCommandsOfOneKindCollapseToTheNewest)
{
    PacerBench b;
    b.pacer.enqueue(CommandKind::Pwm, "V01=10$");
    EXPECT_EQ(b.due_at(0ms), "V01=10$");
    for (int v : {20, 30, 40}) b.pacer.enqueue(CommandKind::Pwm, "V01=" + std::to_string(v) + "$");
    b.pacer.enqueue(CommandKind::Led, "V00=1");
    ASSERT_EQ(b.pacer.queued().size(), 2u);
    EXPECT_EQ(b.pacer.queued()[0].frame, "V01=40$");
    b.report_at(4000ms);
    b.report_at(8800ms);
    EXPECT_EQ(b.due_at(8800ms), "V01=40$");
}

TEST(CommandPacer, FreshNodeOrSilenceReleasesTheQueue)
{
    PacerBench b;
    b.pacer.enqueue(CommandKind::Led, "V00=1");
    b.pacer.enqueue(CommandKind::Led, "V00=0");
    b.pacer.enqueue(CommandKind::Pwm, "V01=5$");
    EXPECT_EQ(b.due_at(0ms), "V00=0");
    b.pacer.on_fresh_node();  // reconnected, or the node greeted after a reset
    EXPECT_EQ(b.due_at(100ms), "V01=5$");
    b.pacer.enqueue(CommandKind::Led, "V00=1");
    EXPECT_EQ(b.due_at(10s), std::nullopt);
    EXPECT_EQ(b.due_at(16s), "V00=1");  // no report for 15 s: not held for ever
}
