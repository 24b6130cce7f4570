// Owned timers on the chip's event queue: arming moves rather than duplicates, cancelling is safe at
// any time, a timer re-arms itself from its own action, and a timer never touches an event that is
// not its own (the queue reuses the slots of events that ran).
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "timer.h"

namespace {

using sim::Picos;
using sim::Scheduler;
using sim::Timer;

TEST(Timer, ArmingAgainMovesTheTimerAndCancellingAnIdleTimerDoesNothing)
{
    Scheduler scheduler;
    std::vector<Picos> ran;
    Timer timer(scheduler, [&](Picos at) { ran.push_back(at); });
    timer.cancel();  // never armed
    EXPECT_FALSE(timer.armed());
    EXPECT_EQ(timer.due(), sim::kNever);

    timer.arm_at(100);
    timer.arm_at(300);  // moved, not a second event
    timer.arm_at(200);
    EXPECT_TRUE(timer.armed());
    EXPECT_EQ(timer.due(), 200U);
    scheduler.run_due(1000);
    EXPECT_EQ(ran, (std::vector<Picos>{200}));
    EXPECT_FALSE(timer.armed());
    EXPECT_EQ(timer.due(), sim::kNever);
    timer.cancel();  // spent: nothing to cancel

    timer.arm_at(1500);
    timer.cancel();
    EXPECT_EQ(timer.due(), sim::kNever);
    timer.cancel();
    scheduler.run_due(2000);
    EXPECT_EQ(ran.size(), 1U);
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
}

TEST(Timer, ReArmsFromItsOwnActionAndStopsWhenCancelledThere)
{
    Scheduler scheduler;
    std::vector<Picos> ticks;
    std::optional<Timer> tick;
    tick.emplace(scheduler, [&](Picos at) {
        EXPECT_FALSE(tick->armed());  // running: not armed until it re-arms itself
        EXPECT_EQ(tick->due(), sim::kNever);
        ticks.push_back(at);
        tick->arm_at(at + 1000);
        EXPECT_TRUE(tick->armed());
        EXPECT_EQ(tick->due(), at + 1000);
        if (ticks.size() == 4) tick->cancel();  // undoes the re-arm just made
    });
    tick->arm_at(1000);
    scheduler.run_due(100'000);
    EXPECT_EQ(ticks, (std::vector<Picos>{1000, 2000, 3000, 4000}));
    EXPECT_FALSE(tick->armed());

    // Armed again after being cancelled from its own action: a fresh start.
    tick->arm_at(200'000);
    ticks.clear();
    scheduler.run_due(200'000);
    EXPECT_EQ(ticks, (std::vector<Picos>{200'000}));
    tick->cancel();
    scheduler.run_due(1'000'000);
    EXPECT_EQ(ticks.size(), 1U);
}

TEST(Timer, NeverTouchesAnEventThatReusedItsSlot)
{
    Scheduler scheduler;
    int timer_runs = 0;
    int other_runs = 0;
    Timer timer(scheduler, [&](Picos) { ++timer_runs; });
    timer.arm_at(10);
    scheduler.run_due(10);                                 // the timer's slot is free again
    scheduler.schedule(50, [&](Picos) { ++other_runs; });  // takes that slot

    EXPECT_FALSE(timer.armed());
    EXPECT_EQ(timer.due(), sim::kNever);  // not the other event's time
    timer.cancel();                       // must not cancel the other event
    timer.arm_at(40);                     // must not move it either
    scheduler.run_due(100);
    EXPECT_EQ(timer_runs, 2);
    EXPECT_EQ(other_runs, 1);

    // The queue emptied all at once (a chip reset): the timer reads idle and arms afresh.
    timer.arm_at(500);
    scheduler.clear();
    EXPECT_FALSE(timer.armed());
    timer.arm_at(600);
    scheduler.run_due(1000);
    EXPECT_EQ(timer_runs, 3);
}

TEST(Timer, DestroyedWhileArmedLeavesNothingBehind)
{
    Scheduler scheduler;
    bool ran = false;
    {
        Timer timer(scheduler, [&](Picos) { ran = true; });
        timer.arm_at(100);
    }
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
    scheduler.run_due(1000);
    EXPECT_FALSE(ran);
}

TEST(Timer, OneTimerForEachChannelCallsItsOwnAction)
{
    Scheduler scheduler;
    std::vector<int> fired;
    auto timers =
        sim::make_timers<3>(scheduler, [&](int channel) { return [&, channel](Picos) { fired.push_back(channel); }; });
    timers[2].arm_at(10);
    timers[0].arm_at(20);
    timers[1].arm_at(30);
    timers[1].cancel();
    scheduler.run_due(100);
    EXPECT_EQ(fired, (std::vector<int>{2, 0}));
}

}  // namespace
