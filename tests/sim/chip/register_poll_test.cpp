// Two polls of the same status register one after the other (TC at the end of one character, then TXE
// before the next) are two waits: the second must not be taken for the first one still going on and
// skipped to the next scheduled event, or every character sent with its own call takes a whole tick.
#include <gtest/gtest.h>

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

}  // namespace
