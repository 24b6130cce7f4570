// Recognising waiting loops: only a loop that provably waits (for an event, or for the cycle counter to
// pass a mark) may be jumped over; anything that stores, touches the bus otherwise, or carries state
// from one iteration to the next must run.
#include <gtest/gtest.h>

#include "wait_loop.h"

namespace {

using sim::Picos;
using sim::cpu::BlockInfo;
using sim::cpu::HeadState;
using sim::cpu::kCycleCounterAddress;
using sim::cpu::WaitLoop;
using sim::cpu::WaitLoopWatch;

BlockInfo registers_only(uint32_t instructions, uint16_t live_in = 0, uint16_t written = 0)
{
    BlockInfo info;
    info.instructions = instructions;
    info.only_registers = true;
    info.registers_known = true;
    info.live_in = live_in;
    info.written = written;
    return info;
}

// Runs iterations of a two-block loop (A then B) and returns what the watch found at the first head
// where it found something, with the iteration it found it at.
struct Bench {
    WaitLoopWatch watch;
    Picos now = 0;
    BlockInfo a = registers_only(2);
    BlockInfo b = registers_only(3);
    std::function<HeadState(int)> head_state = [](int) { return HeadState{}; };
    std::function<void(int)> during = [](int) {};
    Picos iteration_time = 50;

    std::pair<std::optional<WaitLoop>, int> run(int iterations)
    {
        for (int i = 0; i < iterations; ++i) {
            if (watch.block(0x100, a, now)) {
                if (auto found = watch.at_head(head_state(i))) return {found, i};
            }
            during(i);
            watch.block(0x180, b, now + iteration_time / 2);
            now += iteration_time;
        }
        return {std::nullopt, -1};
    }
};

TEST(WaitLoopWatch, ALoopThatComesRoundToTheSameRegistersWaitsForAnEvent)
{
    Bench bench;
    auto [found, at] = bench.run(10);
    ASSERT_TRUE(found.has_value());
    // Seen once to start watching, then two clean iterations.
    EXPECT_EQ(at, 3);
    EXPECT_EQ(found->head, 0x100U);
    EXPECT_EQ(found->blocks, (std::vector<uint32_t>{0x100, 0x180}));
    EXPECT_EQ(found->iteration_time, 50U);
    EXPECT_EQ(found->instructions, 5U);
    EXPECT_FALSE(found->reads_counter);
}

TEST(WaitLoopWatch, APollOfARegisterThatKeepsItsValueWaitsForAnEvent)
{
    Bench bench;  // a transmitter's status register, polled for a flag that an event will set
    bench.during = [&](int) { bench.watch.bus_read(0x40011000, 0xC0, false); };
    auto found = bench.run(10).first;
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(found->reads_counter);
}

TEST(WaitLoopWatch, ALoopThatStoresChangesRegistersOrTouchesTheBusIsNotAWait)
{
    {
        Bench bench;
        bench.b.only_registers = false;  // a store
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // a counter kept in a register: each head differs
        bench.head_state = [](int i) {
            HeadState s;
            s.registers[4] = static_cast<uint32_t>(i);
            return s;
        };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // the flags differ from one head to the next
        bench.head_state = [](int i) {
            HeadState s;
            s.flags = (i % 2) ? 0x40000000U : 0;
            return s;
        };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // a status register reading differently each time
        bench.during = [&](int i) { bench.watch.bus_read(0x40011000, 0xC0U + static_cast<uint32_t>(i % 2), false); };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // a counter other than the cycle counter (a timer's count)
        bench.during = [&](int) { bench.watch.bus_read(0x40000024, 5, true); };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // the cycle counter and a status register: not a plain wait on either
        bench.during = [&](int i) {
            bench.watch.bus_read(kCycleCounterAddress, static_cast<uint32_t>(i) * 7U, true);
            bench.watch.bus_read(0x40011000, 0xC0, false);
        };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // a register write
        bench.during = [&](int) { bench.watch.bus_write(); };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
    {
        Bench bench;  // iterations of unequal length (an interrupt between)
        bench.during = [&](int i) { bench.now += static_cast<Picos>(i); };
        EXPECT_FALSE(bench.run(20).first.has_value());
    }
}

TEST(WaitLoopWatch, APollOfTheCycleCounterIsAWaitWhenOnlyTheValueReadChanges)
{
    // r2 holds the value read: it differs at every head but is written before it is read.
    auto poll = [](uint16_t live_in) {
        Bench bench;
        bench.a = registers_only(3, live_in, 1U << 2);
        bench.during = [&bench](int i) {
            bench.watch.bus_read(kCycleCounterAddress, 1000U + 7U * static_cast<uint32_t>(i), true);
        };
        bench.head_state = [](int i) {
            HeadState s;
            s.registers[2] = 1000U + 7U * static_cast<uint32_t>(i);
            return s;
        };
        return bench.run(20).first;
    };
    auto found = poll(1U << 3);
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(found->reads_counter);
    EXPECT_EQ(found->counter_step, 7U);
    EXPECT_EQ(found->last_counter, 1000U + 7U * 2U);
    // The same loop reading r2 before writing it carries state across iterations: not a pure wait.
    EXPECT_FALSE(poll((1U << 3) | (1U << 2)).has_value());
}

}  // namespace
