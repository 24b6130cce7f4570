// The chip's event queue: time order with ties in scheduling order, events moved and cancelled from
// anywhere (including their own action), and a long burst queued at once.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scheduler.h"
#include "timer.h"

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

// The direct slot: an event outside the heap that must still take its place among the heap's events
// exactly as it would inside it (time, then order of arming), or moving the tick there would reorder
// what happens at a shared picosecond.
struct DirectLog {
    Scheduler* scheduler = nullptr;
    std::vector<std::pair<int, Picos>>* ran = nullptr;
    Picos period = 0;  // re-armed this far on from its own action; 0: runs once
    int runs_left = 0;

    static void run(void* self, Picos at)
    {
        auto& log = *static_cast<DirectLog*>(self);
        log.ran->push_back({0, at});
        EXPECT_EQ(log.scheduler->direct_due(), sim::kNever);  // not armed inside its own action
        if (log.period != 0 && --log.runs_left > 0) log.scheduler->arm_direct(at + log.period);
    }
};

TEST(SchedulerDirectSlot, TakesItsPlaceAmongHeapEventsByTimeThenArmingOrder)
{
    Scheduler scheduler;
    std::vector<std::pair<int, Picos>> ran;
    DirectLog log{&scheduler, &ran, 100, 3};
    scheduler.claim_direct(&DirectLog::run, &log);
    scheduler.schedule(100, [&](Picos at) { ran.push_back({1, at}); });  // armed before the direct event
    scheduler.arm_direct(100);
    scheduler.schedule(100, [&](Picos at) { ran.push_back({2, at}); });  // after it
    scheduler.schedule(150, [&](Picos at) { ran.push_back({3, at}); });
    // Armed before the direct event re-arms itself for 200 (while running at 100): first at 200.
    scheduler.schedule(200, [&](Picos at) { ran.push_back({4, at}); });
    EXPECT_EQ(scheduler.next_time(), 100U);
    scheduler.run_due(250);
    EXPECT_EQ(ran, (std::vector<std::pair<int, Picos>>{{1, 100}, {0, 100}, {2, 100}, {3, 150}, {4, 200}, {0, 200}}));
    // The third run is due at 300 and is what next_time() reports, though the heap is empty.
    EXPECT_EQ(scheduler.next_time(), 300U);
    EXPECT_EQ(scheduler.direct_due(), 300U);
    scheduler.run_due(1000);
    EXPECT_EQ(ran.back(), (std::pair<int, Picos>{0, 300}));
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
    scheduler.release_direct();
}

TEST(SchedulerDirectSlot, MovedCancelledClaimedOnceAndReleasedWithItsOwner)
{
    Scheduler scheduler;
    std::vector<std::pair<int, Picos>> ran;
    DirectLog log{&scheduler, &ran};
    {
        sim::DirectTimer timer(scheduler, &DirectLog::run, &log);
        EXPECT_THROW(scheduler.claim_direct(&DirectLog::run, &log), std::logic_error);
        scheduler.schedule(500, [&](Picos at) { ran.push_back({1, at}); });
        timer.arm_at(100);
        timer.arm_at(700);  // moved later: the heap's event comes first, and nothing runs at 100
        EXPECT_EQ(scheduler.next_time(), 500U);
        EXPECT_TRUE(timer.armed());
        scheduler.run_due(600);
        EXPECT_EQ(ran, (std::vector<std::pair<int, Picos>>{{1, 500}}));
        timer.cancel();
        EXPECT_FALSE(timer.armed());
        EXPECT_EQ(scheduler.next_time(), sim::kNever);
        timer.arm_at(800);
    }
    // The timer went with its owner: its event with it, and the slot is free for another.
    EXPECT_EQ(scheduler.next_time(), sim::kNever);
    scheduler.run_due(1000);
    EXPECT_EQ(ran.size(), 1U);
    EXPECT_NO_THROW(scheduler.claim_direct(&DirectLog::run, &log));
}

// The horizon is what every register access compares its time with: it must never lie beyond the next
// event (an event would run late) nor beyond the limit (the run would overrun its end), whichever way the
// next event came to change: a schedule, a run, the direct event re-arming itself, a cancel.
TEST(SchedulerHorizon, IsTheEarlierOfTheNextEventAndTheLimitThroughEveryChange)
{
    Scheduler scheduler;
    std::vector<std::pair<int, Picos>> ran;
    DirectLog log{&scheduler, &ran, 100, 5};
    scheduler.claim_direct(&DirectLog::run, &log);
    EXPECT_EQ(scheduler.horizon(), sim::kNever);
    scheduler.set_limit(450);
    EXPECT_EQ(scheduler.horizon(), 450U);
    scheduler.arm_direct(100);
    EXPECT_EQ(scheduler.horizon(), 100U);
    const auto id = scheduler.schedule(50, [&](Picos at) { ran.push_back({1, at}); });
    EXPECT_EQ(scheduler.horizon(), 50U);
    scheduler.cancel(id);
    EXPECT_EQ(scheduler.horizon(), 100U);
    scheduler.run_due(100);  // the direct event re-arms itself for 200 from inside its action
    EXPECT_EQ(scheduler.next_time(), 200U);
    EXPECT_EQ(scheduler.horizon(), 200U);
    scheduler.run_due(400);
    EXPECT_EQ(scheduler.next_time(), 500U);
    EXPECT_EQ(scheduler.horizon(), 450U);  // the limit comes first now
    scheduler.set_limit(sim::kNever);
    EXPECT_EQ(scheduler.horizon(), 500U);
    scheduler.release_direct();
    EXPECT_EQ(scheduler.horizon(), sim::kNever);
}

// The tick's short path runs the direct event on its own only when nothing else could come first.
TEST(SchedulerDirectSlot, AloneOnlyWhenDueAndNoHeapEventIsDueByThen)
{
    Scheduler scheduler;
    std::vector<std::pair<int, Picos>> ran;
    DirectLog log{&scheduler, &ran};
    scheduler.claim_direct(&DirectLog::run, &log);
    scheduler.arm_direct(100);
    EXPECT_FALSE(scheduler.direct_alone_until(99));  // not due yet
    EXPECT_TRUE(scheduler.direct_alone_until(100));
    const auto tie = scheduler.schedule(100, [](Picos) {});  // same time, armed later: still comes second
    EXPECT_FALSE(scheduler.direct_alone_until(100));         // but the short path does not judge ties
    scheduler.cancel(tie);
    scheduler.schedule(150, [](Picos) {});
    EXPECT_TRUE(scheduler.direct_alone_until(149));
    EXPECT_FALSE(scheduler.direct_alone_until(150));
    scheduler.schedule(50, [](Picos) {});  // now the heap's event is next
    EXPECT_FALSE(scheduler.direct_alone_until(120));
    scheduler.release_direct();
}
