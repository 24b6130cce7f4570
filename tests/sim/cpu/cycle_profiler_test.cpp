// The cycle profiler on a small image whose functions' costs are known: each call's exact cycles, the
// call stacks (calls, returns, a tail call, a handler on top of what it interrupted), the stacks adding
// up to the run's cycles, the folded output as a flame graph tool reads it, and the stack's room.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <string>

#include "chip.h"
#include "cycle_profiler.h"
#include "image_runner.h"
#include "profile_report.h"

namespace profiler_tests {

using sim::cpu::CycleProfiler;
using sim::cpu::ElfImage;
using sim::cpu::ImageRunner;

ElfImage image(const std::string& name)
{
    return ElfImage::load(std::string(CPU_TEST_IMAGES) + "/" + name + ".elf");
}

int function(const CycleProfiler& profiler, const std::string& name)
{
    std::vector<int> found = profiler.functions().named(name);
    EXPECT_EQ(found.size(), 1U) << name;
    return found.empty() ? -1 : found.front();
}

std::string joined(const CycleProfiler& profiler, const std::vector<int>& stack)
{
    std::string text;
    for (int f : stack) text += (text.empty() ? "" : ";") + profiler.functions().name(f);
    return text;
}

struct Profiled {
    sim::Chip chip;
    ElfImage elf;
    ImageRunner runner;
    CycleProfiler profiler;
    uint64_t start;

    explicit Profiled(const std::string& name, bool skip_waits = true)
        : elf(image(name)),
          runner(chip, elf, {.skip_waits = skip_waits}),
          profiler(elf, chip.core_cycles()),
          start(count_of(chip.core_cycles()))
    {
        runner.observe(&profiler);
    }
    void run(sim::Picos limit)
    {
        EXPECT_EQ(runner.run(limit).kind, sim::RunEnd::Kind::TimeLimit);
        profiler.finish(chip.core_cycles());
    }
};

// At 16 MHz, no wait states, the Cortex-M4's cycle counts: `work` is 20 ADDS (1 each) and BX LR (1+P, P 1);
// `outer` pushes two registers (1+2), calls `work` twice (BL 1+P), pops two (1+2) and branches to `last`
// (B 1+P; MOVS 1, BX LR 2), which returns to outer's caller; `count` is a literal load (2), a load behind
// it (1), ADDS, a store (2) and BX LR. A call's cycles run from its first instruction to the first one
// after its return, so the BL belongs to the caller.
TEST(CycleProfiler, EachCallOfAKnownFunctionGetsItsExactCycles)
{
    Profiled p("profile");
    struct Row {
        const char* name;
        uint64_t cycles;
    } rows[] = {{"work", 22}, {"last", 3}, {"outer", 3 + 2 * (2 + 22) + 3 + 2 + 3}, {"count", 8}};
    for (const Row& row : rows) p.profiler.time_calls(function(p.profiler, row.name));
    p.run(sim::milliseconds(10));
    for (const Row& row : rows) {
        sim::cpu::CallCycles c = sim::cpu::summarize_calls(p.profiler.calls_of(function(p.profiler, row.name)));
        EXPECT_GT(c.calls, 8U) << row.name;
        // An interrupt taken inside a call lengthens that one; the shortest and the usual are the code's.
        EXPECT_EQ(c.min, row.cycles) << row.name;
        EXPECT_EQ(c.median, row.cycles) << row.name;
    }
    // The handler's call of `count`: a tick each 1 ms from SysTick's start a few cycles in, none missed.
    EXPECT_EQ(p.profiler.calls_of(function(p.profiler, "count")).size(), 9U);
    EXPECT_EQ(p.profiler.resyncs(), 0U);
}

TEST(CycleProfiler, StacksFollowCallsReturnsTailCallsAndHandlersAndAddUpToTheRun)
{
    Profiled p("profile");
    p.run(sim::milliseconds(10));
    std::map<std::string, uint64_t> by_stack;
    for (const auto& [stack, cycles] : p.profiler.stacks()) by_stack[joined(p.profiler, stack)] += cycles;
    for (const char* expected :
         {"reset", "reset;outer", "reset;outer;work", "reset;outer;last", "reset;outer;tick;count"})
        EXPECT_TRUE(by_stack.count(expected)) << expected;

    for (const auto& [stack, cycles] : by_stack) {
        // `last` is reached by a branch from `outer`: its own frame on top of outer's, never in place of it.
        EXPECT_EQ(stack.find("reset;last"), std::string::npos) << stack;
        EXPECT_EQ(stack.find("work;work"), std::string::npos) << stack;
    }
    const uint64_t sum = std::accumulate(by_stack.begin(), by_stack.end(), uint64_t{0},
                                         [](uint64_t s, const auto& entry) { return s + entry.second; });
    const uint64_t run = count_of(p.chip.core_cycles()) - p.start;
    EXPECT_EQ(run, 16'000U * 10);  // 10 ms at 16 MHz
    EXPECT_EQ(sum, run);
    EXPECT_EQ(p.profiler.total_cycles(), run);
    // The deepest: a tick taken inside `outer` (its 8 bytes pushed), its 32-byte frame, its own push. (`work`
    // only changes registers, so a tick due inside it is taken at its block's end, back in `outer`.)
    EXPECT_EQ(p.profiler.lowest_sp(), 0x20020000U - 8 - 32 - 8);
}

// A reset of the core starts the stack afresh: no stack holds the reset's code above what it cut short,
// and the calls it cut short are not timed.
TEST(CycleProfiler, ACoreResetStartsTheStackAfresh)
{
    Profiled p("profile");
    p.profiler.time_calls(function(p.profiler, "outer"));
    EXPECT_EQ(p.runner.run(sim::microseconds(2010)).kind, sim::RunEnd::Kind::TimeLimit);
    const size_t before = p.profiler.calls_of(function(p.profiler, "outer")).size();
    p.runner.reset();
    p.run(sim::milliseconds(4));
    for (const auto& [stack, cycles] : p.profiler.stacks()) {
        EXPECT_EQ(p.profiler.functions().name(stack.front()), "reset");
        EXPECT_EQ(std::count(stack.begin(), stack.end(), stack.front()), 1) << joined(p.profiler, stack);
    }
    const auto& outer = p.profiler.calls_of(function(p.profiler, "outer"));
    EXPECT_GT(outer.size(), before);
    EXPECT_EQ(*std::min_element(outer.begin(), outer.end()), 59U);
    EXPECT_EQ(p.profiler.resyncs(), 0U);
}

// The core asleep in WFI between ticks, and the ticks' short handler taken without the engine: the time
// asleep is the sleeping function's, the handler's is its own, and nothing is lost, whether the runner
// jumps over waits or not.
TEST(CycleProfiler, TimeAsleepAndShortHandlersAddUpToTheRun)
{
    for (bool skip : {true, false}) {
        Profiled p("sleep", skip);
        p.run(sim::milliseconds(20));
        std::map<std::string, uint64_t> by_stack;
        for (const auto& [stack, cycles] : p.profiler.stacks()) by_stack[joined(p.profiler, stack)] += cycles;
        const uint64_t run = count_of(p.chip.core_cycles()) - p.start;
        EXPECT_EQ(p.profiler.total_cycles(), run) << skip;
        EXPECT_EQ(by_stack["reset"] + by_stack["reset;tick"], run) << skip;
        EXPECT_GT(by_stack["reset;tick"], 0U) << skip;
        EXPECT_GT(by_stack["reset"], 100 * by_stack["reset;tick"]) << skip;
    }
}

// Folded stacks as FlameGraph and speedscope read them: each line a stack of non-empty names joined by
// ';', a space, a positive count (the split is at the last space: demangled names hold spaces).
TEST(CycleProfiler, FoldedOutputParsesAndSumsToTheRun)
{
    Profiled p("profile");
    p.run(sim::milliseconds(5));
    std::ostringstream out;
    p.profiler.write_folded(out);
    std::istringstream in(out.str());
    std::string line;
    uint64_t sum = 0;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        const size_t space = line.rfind(' ');
        ASSERT_NE(space, std::string::npos) << line;
        const std::string stack = line.substr(0, space);
        const std::string count = line.substr(space + 1);
        ASSERT_FALSE(count.empty()) << line;
        ASSERT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << line;
        ASSERT_GT(std::stoull(count), 0U) << line;
        EXPECT_EQ(stack.find(";;"), std::string::npos) << line;
        EXPECT_NE(stack.front(), ';') << line;
        EXPECT_NE(stack.back(), ';') << line;
        sum += std::stoull(count);
    }
    EXPECT_GE(lines, 5);
    EXPECT_EQ(sum, p.profiler.total_cycles());
}

// The stack's room: what is left of the linker's reserve, and an overflow of it or into the static data
// said as such rather than as a huge unsigned headroom.
TEST(StackRoom, HeadroomAndOverflowsAreSaidAsTheyAre)
{
    const sim::cpu::StackRoom room{0x20020000U, 0x400U, 0x20000800U};
    struct Row {
        uint32_t lowest;
        const char* says;
    } rows[] = {
        {0x2001FD30U, "720 bytes used; 304 bytes left of the 1024"},
        {0x2001FC00U, "1024 bytes used; 0 bytes left of the 1024"},
        {0x2001FBF0U, "OVER the 1024 bytes the linker reserves (_Min_Stack_Size) by 16"},
        {0x200007F0U, "16 bytes INTO the static data"},
        {UINT32_MAX, "never sampled"},
    };
    for (const Row& row : rows)
        EXPECT_NE(sim::cpu::describe_stack(room, row.lowest).find(row.says), std::string::npos)
            << sim::cpu::describe_stack(room, row.lowest);
    EXPECT_EQ(sim::cpu::summarize_calls({7, 3, 5, 9}).median, 5U);  // the lower middle: a call that happened
}

}  // namespace profiler_tests
