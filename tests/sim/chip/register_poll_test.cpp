// Two polls of the same status register one after the other (TC at the end of one character, then TXE
// before the next) are two waits: the second must not be taken for the first one still going on and
// skipped to the next scheduled event, or every character sent with its own call takes a whole tick.
// A wait on the cycle counter moves on by exactly its stride rule, read after read, across an event and
// an interrupt handler that lands in the middle of it.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_fixture.h"
#include "stm32f4xx.h"

namespace {

class RegisterPoll : public test::SimTest {};

TEST_F(RegisterPoll, ANewWaitOnTheSameRegisterStartsWhereTheLastEnded)
{
    using sim::usart_reg::kTc;
    using sim::usart_reg::kTxe;
    USART2->BRR = 0x683;  // 9600 baud from the 16 MHz the port runs on after reset: 1.04 ms a character
    USART2->CR1 = sim::usart_reg::kUe | sim::usart_reg::kTe;
    // Something far off on the queue, as the 1 ms tick would be.
    chip.scheduler().schedule(chip.now() + sim::milliseconds(50), [](sim::Picos) {});

    for (int i = 0; i < 3; ++i) {
        while ((USART2->SR & kTxe) == 0U) {}
        USART2->DR = 'A' + i;
        while ((USART2->SR & kTc) == 0U) {}
        const sim::Picos done = chip.now();
        // The next character's wait for TXE finds it set at once.
        EXPECT_NE(USART2->SR & kTxe, 0U);
        EXPECT_LT(chip.now() - done, sim::microseconds(1)) << "character " << i;
    }
    // Three characters after the idle frame the port sends when its transmitter is enabled: 4 x 1.04 ms.
    EXPECT_LT(chip.now(), sim::microseconds(4 * 1042 + 50));
}

TEST_F(RegisterPoll, AWaitOnTheCycleCounterStridesBySixteenthsOfTheTimeWaitedUpToTheNextEvent)
{
    using sim::Picos;
    CoreDebug->DEMCR = CoreDebug_DEMCR_TRCENA_Msk;
    DWT->CTRL = DWT_CTRL_CYCCNTENA_Msk;
    DWT->CYCCNT = 0;
    const Picos counted_from = chip.now();           // CYCCNT is 0 here, at a cycle's edge
    const Picos cycle = sim::period_of(16'000'000);  // the HSI the core runs on after reset
    const Picos read_cost = 2 * cycle;               // a load on the core's own bus
    const Picos handler_cost = 24 * cycle;           // exception entry and return
    const Picos event_at = chip.now() + sim::microseconds(200);
    int ticks = 0;
    // An event in the middle of the wait pends SysTick: its handler (the tick count, in RAM) runs there.
    chip.scheduler().schedule(event_at, [&](Picos) {
        ++ticks;
        chip.exceptions().set_pending(sim::kSysTickException);
    });

    // What the rule gives: the first eight reads at the loop's own pace, then each one on by 1/16 of the
    // time waited since the first, but never past the next event.
    const Picos since = chip.now();
    Picos expected = since;
    Picos next = event_at;
    for (int read = 0; read < 250; ++read) {
        Picos skip = 0;
        if (read >= 8) skip = std::min((expected - since) / 16, next > expected ? next - expected : 0);
        expected += read_cost + skip;
        if (expected >= next) {
            expected += handler_cost;
            next = sim::kNever;
        }
        const uint32_t value = DWT->CYCCNT;
        ASSERT_EQ(chip.now(), expected) << "read " << read;
        ASSERT_EQ(value, static_cast<uint32_t>((expected - counted_from) / cycle)) << "read " << read;
    }
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(next, sim::kNever);  // the wait went past the event
}

}  // namespace
