// An interrupt the node does not use, once enabled and set pending, is taken through the vector table
// into Default_Handler, which never returns: the simulator reports the node as halted there.
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "stm32f4xx.h"

namespace {

class UnusedInterrupt : public test::SimTest {};

TEST_F(UnusedInterrupt, EndsInDefaultHandlerAsAHalt)
{
    // TIM2's interrupt (IRQ 28): the node runs TIM2 for its PWM but never enables its interrupt.
    constexpr int kTim2Irq = TIM2_IRQn;
    NVIC->ISER[0] = 1U << kTim2Irq;
    try {
        NVIC->ISPR[0] = 1U << kTim2Irq;
        FAIL() << "the pending interrupt returned";
    } catch (const sim::Stop& stop) {
        EXPECT_TRUE(stop.halted());
        EXPECT_NE(stop.reason().find("Default_Handler"), std::string::npos) << stop.reason();
        EXPECT_NE(stop.reason().find("IRQ 28"), std::string::npos) << stop.reason();
    }
}

}  // namespace
