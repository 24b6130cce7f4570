// The chip's event queue: time order with ties in scheduling order, events moved and cancelled from
// anywhere (including their own action), and a long burst queued at once.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scheduler.h"

namespace {

using sim::Picos;
using sim::Scheduler;

TEST(Scheduler, RunsInTimeOrderWithTiesInSchedulingOrder)
{
    Scheduler scheduler;
    std::vector<int> ran;
    scheduler.schedule(30, [&](Picos) { ran.push_back(3); });
    scheduler.schedule(10, [&](Picos) { ran.push_back(1); });
    scheduler.schedule(30, [&](Picos) { ran.push_back(4); });
    scheduler.schedule(20, [&](Picos) { ran.push_back(2); });
    EXPECT_EQ(scheduler.next_time(), 10U);
    EXPECT_FALSE(scheduler.run_due(9));
    EXPECT_TRUE(scheduler.run_due(30));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
}

TEST(Scheduler, MovedAndCancelledEventsRunOnceAtTheirNewTimeOrNotAtAll)
{
    Scheduler scheduler;
    std::vector<std::pair<int, Picos>> ran;
    auto a = scheduler.schedule(10, [&](Picos at) { ran.push_back({1, at}); });
    auto b = scheduler.schedule(20, [&](Picos at) { ran.push_back({2, at}); });
    auto c = scheduler.schedule(30, [&](Picos at) { ran.push_back({3, at}); });
    scheduler.reschedule(a, 40);  // later: its old place must not fire
    scheduler.reschedule(c, 5);   // earlier
    scheduler.cancel(b);
    EXPECT_EQ(scheduler.next_time(), 5U);
    EXPECT_FALSE(scheduler.pending(b));
    EXPECT_TRUE(scheduler.pending(a));
    scheduler.run_due(100);
    EXPECT_EQ(ran, (std::vector<std::pair<int, Picos>>{{3, 5}, {1, 40}}));
    EXPECT_FALSE(scheduler.pending(a));

    // A freed slot is reused; the old id must not reach the new event.
    auto d = scheduler.schedule(200, [&](Picos at) { ran.push_back({4, at}); });
    scheduler.cancel(a);
    scheduler.reschedule(c, 150);
    EXPECT_TRUE(scheduler.pending(d));
    EXPECT_EQ(scheduler.next_time(), 200U);
}

TEST(Scheduler, APeriodicEventReArmsItselfAndOthersScheduleWhileItRuns)
{
    Scheduler scheduler;
    int ticks = 0;
    Scheduler::Id tick = 0;
    std::vector<Picos> extra;
    tick = scheduler.schedule(1000, [&](Picos at) {
        ++ticks;
        EXPECT_FALSE(scheduler.pending(tick));  // not re-armed yet
        if (ticks < 5) scheduler.reschedule(tick, at + 1000);
        if (ticks == 2) scheduler.schedule(at + 500, [&](Picos when) { extra.push_back(when); });
        if (ticks == 3) scheduler.cancel(tick);  // cancelling itself undoes the re-arm
    });
    scheduler.run_due(10'000);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(extra, (std::vector<Picos>{2500}));
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
}

TEST(Scheduler, ALongBurstRunsInOrderAndEventsMovedAgainAndAgainLeaveNothingBehind)
{
    Scheduler scheduler;
    std::mt19937 random(7);
    constexpr int kEvents = 100'000;  // a pasted line of 10 000 characters is about this many edges
    Picos last = 0;
    int ran = 0;
    bool in_order = true;
    for (int i = 0; i < kEvents; ++i)
        scheduler.schedule(random() % 1'000'000, [&](Picos at) {
            in_order = in_order && at >= last;
            last = at;
            ++ran;
        });
    // One event moved a million times, always to a later time.
    int moved_ran = 0;
    auto moved = scheduler.schedule(0, [&](Picos) { ++moved_ran; });
    for (Picos t = 2'000'000; t < 3'000'000; ++t) scheduler.reschedule(moved, t);
    scheduler.run_due(10'000'000);
    EXPECT_EQ(ran, kEvents);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(moved_ran, 1);
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
}

}  // namespace
