// TIM2 and pin A0 set up the way the board does it (1 us tick from a 100 MHz timer clock, auto-reload
// 20000 buffered, channel 1 in PWM mode 1 with compare preload, compare 0), with the counter stopped.
#pragma once

#include "board_clocks.h"
#include "PWMB.h"
#include "main.h"
#include "sim_fixture.h"

namespace test {

constexpr sim::Picos kPwmPeriod = sim::microseconds(20001);

// The board's own TIM2 set-up: the same calls, values and order as on the chip.
inline void configure_tim2_as_board()
{
    MX_TIM2_Init();
}

class PwmBoardTest : public SimTest {
protected:
    PwmBoardTest()
    {
        board_clocks(chip);
        configure_tim2_as_board();
    }
};

}  // namespace test
