// The simulated core: interrupt priorities and nesting, PRIMASK, an interrupt landing inside a
// read-modify-write, the exclusive monitor, busy-wait acceleration and halt detection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip.h"
#include "stm32f4xx.h"

namespace {

std::vector<std::string> g_log;

void irq0_handler()
{
    g_log.push_back("irq0 in");
    NVIC->ISPR[0] = 1U << 1;  // pend IRQ 1 (priority 1 beats our 2: it nests right here)
    NVIC->ISPR[0] = 1U << 2;  // pend IRQ 2 (priority 2, same as ours: it waits until we return)
    g_log.push_back("irq0 out");
}
void irq1_handler()
{
    g_log.push_back("irq1");
}
void irq2_handler()
{
    g_log.push_back("irq2");
}
void systick_handler()
{
    g_log.push_back("tick");
}
void load_writer()
{
    SysTick->LOAD = 0x100;
}

class CoreTest : public ::testing::Test {
protected:
    CoreTest()
    {
        g_log.clear();
        table[15] = systick_handler;
        table[16 + 0] = irq0_handler;
        table[16 + 1] = irq1_handler;
        table[16 + 2] = irq2_handler;
        table[16 + 3] = load_writer;
        chip.set_vector_table(table.data(), static_cast<int>(table.size()));
        SCB->AIRCR = (0x05FAU << 16) | (3U << 8);  // four bits of pre-emption priority
        for (int irq = 0; irq < 4; ++irq) NVIC->ISER[0] = 1U << irq;
        NVIC->IP[0] = 2 << 4;
        NVIC->IP[1] = 1 << 4;
        NVIC->IP[2] = 2 << 4;
        NVIC->IP[3] = 0;
    }

    std::vector<sim::Chip::Handler> table = std::vector<sim::Chip::Handler>(102, nullptr);
    sim::Chip chip;
};

TEST_F(CoreTest, HigherPriorityNestsAndEqualPriorityWaits)
{
    NVIC->ISPR[0] = 1U << 0;
    EXPECT_EQ(g_log, (std::vector<std::string>{"irq0 in", "irq1", "irq0 out", "irq2"}));
    EXPECT_EQ(NVIC->IABR[0], 0U);
}

TEST_F(CoreTest, PrimaskHoldsInterruptsUntilEnabled)
{
    __disable_irq();
    NVIC->ISPR[0] = 1U << 1;
    __NOP();
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(NVIC->ISPR[0] & 2U, 2U);
    __enable_irq();
    EXPECT_EQ(g_log, (std::vector<std::string>{"irq1"}));
}

// The tick pending on its own (the commonest case, chosen without a scan) still obeys PRIMASK and the
// execution priority: held under PRIMASK, held while a handler of higher priority runs, taken after.
void irq1_pends_tick()
{
    g_log.push_back("irq1 in");
    SCB->ICSR = SCB_ICSR_PENDSTSET_Msk;  // SysTick at priority 3 does not pre-empt our 1
    __NOP();
    g_log.push_back("irq1 out");
}

TEST_F(CoreTest, TickPendingAloneWaitsForPrimaskAndForAHigherPriorityHandler)
{
    SCB->SHPR[11] = 3 << 4;
    __disable_irq();
    SCB->ICSR = SCB_ICSR_PENDSTSET_Msk;
    __NOP();
    EXPECT_TRUE(g_log.empty());
    __enable_irq();
    EXPECT_EQ(g_log, (std::vector<std::string>{"tick"}));

    g_log.clear();
    table[16 + 1] = irq1_pends_tick;
    chip.set_vector_table(table.data(), static_cast<int>(table.size()));
    NVIC->ISPR[0] = 1U << 1;
    EXPECT_EQ(g_log, (std::vector<std::string>{"irq1 in", "irq1 out", "tick"}));
}

// Any exception pending alone is chosen without a scan, whatever its number: a disabled interrupt is
// still not taken, and one left pending alone by clearing another (not the last pended) is still found.
TEST_F(CoreTest, ExceptionPendingAloneIsTakenOnlyWhenEnabledAndUnmasked)
{
    struct Case {
        const char* name;
        void (*pend)();
        bool enabled;
        std::vector<std::string> taken;
    };
    const Case cases[] = {
        {"IRQ 1 alone", [] { NVIC->ISPR[0] = 1U << 1; }, true, {"irq1"}},
        {"IRQ 1 alone, disabled", [] { NVIC->ISPR[0] = 1U << 1; }, false, {}},
        {"IRQ 1 left alone by clearing IRQ 2",
         [] {
             NVIC->ISPR[0] = 1U << 1;
             NVIC->ISPR[0] = 1U << 2;
             NVIC->ICPR[0] = 1U << 2;
         },
         true,
         {"irq1"}},
        {"SysTick alone", [] { SCB->ICSR = SCB_ICSR_PENDSTSET_Msk; }, true, {"tick"}},
    };
    for (const Case& c : cases) {
        g_log.clear();
        NVIC->ICPR[0] = 0xFU;
        NVIC->ICER[0] = 1U << 1;
        if (c.enabled) NVIC->ISER[0] = 1U << 1;
        __disable_irq();
        c.pend();
        __NOP();
        EXPECT_TRUE(g_log.empty()) << c.name;
        __enable_irq();
        __NOP();
        EXPECT_EQ(g_log, c.taken) << c.name;
    }
}

TEST_F(CoreTest, InterruptBetweenReadAndWriteOfReadModifyWrite)
{
    // An interrupt falls due just after the read of LOAD (a core-bus access, 2 cycles): its write is lost
    // by the plain |=, and kept by the exclusive-access loop, which retries once the monitor is cleared.
    const sim::Picos after_read = 2 * sim::period_of(16'000'000) + 1;
    SysTick->LOAD = 0;
    chip.scheduler().schedule(chip.now() + after_read, [](sim::Picos) { NVIC->ISPR[0] = 1U << 3; });
    SysTick->LOAD |= 1U;
    EXPECT_EQ(SysTick->LOAD, 1U);

    SysTick->LOAD = 0;
    chip.scheduler().schedule(chip.now() + after_read, [](sim::Picos) { NVIC->ISPR[0] = 1U << 3; });
    uint32_t value;
    int attempts = 0;
    do {
        ++attempts;
        value = __LDREXW(&SysTick->LOAD) | 1U;
    } while (__STREXW(value, &SysTick->LOAD) != 0U);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(SysTick->LOAD, 0x101U);
}

// A cycle-counter wait as the firmware writes it, returning how long it really took.
sim::Picos timed_wait(sim::Chip& chip, uint32_t cycles)
{
    sim::Picos start = chip.now();
    DWT->CYCCNT = 0;
    while (DWT->CYCCNT <= cycles) {}
    return chip.now() - start;
}

TEST_F(CoreTest, BusyWaitOvershootStaysWithinOneSixteenth)
{
    CoreDebug->DEMCR |= CoreDebug_DEMCR_TRCENA_Msk;
    DWT->CTRL |= DWT_CTRL_CYCCNTENA_Msk;
    // A 1 ms tick at 16 MHz in the background, as after the platform's start.
    SysTick->LOAD = 15999;
    SysTick->VAL = 0;
    SysTick->CTRL = 7;
    const sim::Picos cycle = sim::period_of(16'000'000);
    for (uint64_t micros : {1ULL, 60ULL, 4'000'000ULL}) {
        sim::Picos requested = micros * 16 * cycle;
        uint64_t accesses_before = chip.access_count();
        sim::Picos took = timed_wait(chip, static_cast<uint32_t>(micros * 16));
        EXPECT_GE(took, requested) << micros << " us";
        // The bound: the poll stride's share of the wait, plus the write and one read of the counter,
        // plus the tick interrupts (24 cycles each) that fall inside it.
        sim::Picos ticks = micros / 1000 + 1;
        EXPECT_LE(took, requested + requested / sim::Chip::kCounterStrideDivisor + 4 * cycle + ticks * 24 * cycle)
            << micros << " us";
        if (micros == 4000000ULL) {
            EXPECT_LT(chip.access_count() - accesses_before, 20000U);
        }
    }
    EXPECT_GT(g_log.size(), 3900U);  // the ticks ran during the waits
}

TEST_F(CoreTest, MaskedSpinIsReportedAsHalt)
{
    __disable_irq();
    try {
        for (;;) __NOP();
    } catch (const sim::Stop& stop) {
        EXPECT_TRUE(stop.halted());
        EXPECT_NE(stop.reason().find("PRIMASK"), std::string::npos) << stop.reason();
        return;
    }
}

// A wait on memory with no interrupt line enabled ends only if a timer can still raise its exception:
// SysTick with its interrupt enabled can; running without TICKINT, or after TICKINT is cleared, it
// cannot, and the wait is a halt.
TEST_F(CoreTest, WaitOnMemoryHaltsUnlessATimerCanStillInterrupt)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> ctrl_writes;
        bool halts;
    };
    const Case cases[] = {
        {"tick interrupt enabled", {7}, false},
        {"counting without TICKINT", {5}, true},
        {"TICKINT cleared after running", {7, 5}, true},
        {"stopped after running", {7, 0}, true},
    };
    for (const Case& c : cases) {
        sim::Chip fresh;
        fresh.set_vector_table(table.data(), static_cast<int>(table.size()));
        fresh.set_time_limit(fresh.now() + sim::milliseconds(1500));  // past the 1000 NOPs that judge a wait
        NVIC->ICER[0] = 0xFU;
        SysTick->LOAD = 15999;
        SysTick->VAL = 0;
        for (uint32_t ctrl : c.ctrl_writes) SysTick->CTRL = ctrl;
        try {
            for (;;) __NOP();
        } catch (const sim::Stop& stop) {
            EXPECT_EQ(stop.halted(), c.halts) << c.name << ": " << stop.reason();
        }
    }
}

// VAL counts down from LOAD to 0 and reloads: LOAD+1 counts a period (15999 gives the 1 ms tick at
// 16 MHz). Read twice with a known number of processor clocks between the reads, it has moved by that
// number modulo LOAD+1, whatever the phase of the first read.
TEST_F(CoreTest, SysTickValueCountsDownModuloLoadPlusOne)
{
    struct Case {
        uint32_t load;
        uint64_t clocks_between;
    };
    const Case cases[] = {
        {99, 37}, {99, 100}, {99, 1000}, {99, 1001}, {15999, 16000}, {15999, 3 * 16000 + 5}, {1, 2}, {1, 3},
    };
    const sim::Picos clock = sim::period_of(16'000'000);
    for (const Case& c : cases) {
        SysTick->CTRL = 0;
        SysTick->LOAD = c.load;
        SysTick->VAL = 0;
        SysTick->CTRL = 5;  // processor clock, no interrupt, enabled
        chip.run_until(chip.now() + 7 * clock);
        const sim::Picos first_at = chip.now();  // the read takes the value as it starts
        const uint32_t first = SysTick->VAL;
        chip.run_until(first_at + static_cast<sim::Picos>(c.clocks_between) * clock);
        const uint32_t second = SysTick->VAL;
        const uint64_t modulus = uint64_t{c.load} + 1U;
        EXPECT_LE(first, c.load) << "LOAD " << c.load;
        EXPECT_EQ(second, (first + modulus - c.clocks_between % modulus) % modulus)
            << "LOAD " << c.load << ", " << c.clocks_between << " clocks after reading " << first;
    }
}

TEST_F(CoreTest, TimeLimitEndsTheRun)
{
    chip.set_time_limit(sim::milliseconds(5));
    SysTick->LOAD = 15999;
    SysTick->VAL = 0;
    SysTick->CTRL = 7;
    EXPECT_THROW(
        {
            for (;;) __NOP();
        },
        sim::Stop);
    EXPECT_EQ(chip.now(), sim::milliseconds(5));
    EXPECT_EQ(g_log.size(), 4U);  // the first tick comes one period after SysTick is enabled
}

// The emulated core ends its runs between its instructions, reading the run's end from the chip: an access
// that reaches the end completes (cut short, its instruction would be left half done), and time goes on
// past it until the core stops.
TEST_F(CoreTest, UnderAnExternalCoreAnAccessReachingTheRunsEndCompletes)
{
    struct NoMemory final : sim::ExternalCore {
        uint32_t memory_read(uint32_t, unsigned) override { return 0; }
        void memory_write(uint32_t, uint32_t, unsigned) override {}
    } core;
    SysTick->LOAD = 0x1234;
    chip.attach_core(&core);
    const sim::Picos end = chip.now() + 1;
    chip.set_time_limit(end);
    uint32_t load = 0;
    EXPECT_NO_THROW(load = SysTick->LOAD);
    EXPECT_EQ(load, 0x1234U);
    EXPECT_GT(chip.now(), end);
    EXPECT_EQ(chip.scheduler().limit(), end);
    chip.attach_core(nullptr);
    // The host firmware's next access finds the run's end behind the time reached: the run stops where
    // time stands, never back at the limit.
    const sim::Picos reached = chip.now();
    try {
        load = SysTick->LOAD;
        ADD_FAILURE() << "no stop past the limit";
    } catch (const sim::Stop& stop) {
        EXPECT_GE(stop.at(), reached);
    }
    EXPECT_GE(chip.now(), reached);
}

}  // namespace
