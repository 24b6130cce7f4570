// From reset to the handlers: SystemInit's FPU grant, and where each interrupt of the vector table lands.
#include <gtest/gtest.h>

#include <string>

#include "sim_fixture.h"
#include "stm32f4xx.h"
#include "stm32f4xx_it.h"
#include "system_stm32f4xx.h"

namespace {

using StartupTest = test::SimTest;

// CP10 and CP11 (bits 20-23) granted; every other bit of CPACR as it was; nothing else changed: the
// vector table stays at its boot address and the core clock figure at the internal oscillator's.
TEST_F(StartupTest, SystemInitGrantsTheFpuAndTouchesNothingElse)
{
    for (uint32_t before : {0x00000000U, 0xFF0FFFFFU, 0x00500000U, 0xA5A5A5A5U, 0xFFFFFFFFU}) {
        SCB->CPACR = before;
        SystemInit();
        EXPECT_EQ(chip.scb.cpacr(), before | 0x00F00000U) << std::hex << before;
    }
    EXPECT_EQ(SCB->VTOR, 0U);
    EXPECT_EQ(SystemCoreClock, 16000000U);
}

TEST_F(StartupTest, VectorTableRoutesEveryInterrupt)
{
    const int reserved[] = {19, 20, 21, 22, 39, 43, 44, 45, 46, 48, 52, 53, 54, 55, 61,
                            62, 63, 64, 65, 66, 74, 75, 76, 77, 78, 79, 80, 82, 83};
    for (int irq = 0; irq < 86; ++irq) {
        const vector_entry entry = g_pfnVectors[16 + irq];
        bool is_reserved = false;
        for (int r : reserved) is_reserved = is_reserved || r == irq;
        if (is_reserved) {
            EXPECT_EQ(entry, nullptr) << "IRQ " << irq;
        } else if (irq == 37) {
            EXPECT_EQ(entry, &USART1_IRQHandler);
        } else if (irq == 58) {
            EXPECT_EQ(entry, &DMA2_Stream2_IRQHandler);
        } else {
            EXPECT_EQ(entry, &Default_Handler) << "IRQ " << irq;
        }
    }
    for (int reserved_system : {7, 8, 9, 10, 13}) EXPECT_EQ(g_pfnVectors[reserved_system], nullptr);

    // The handlers the node defines replace the weak aliases of Default_Handler.
    const struct {
        int vector;
        vector_entry handler;
    } own[] = {{2, NMI_Handler},
               {3, HardFault_Handler},
               {4, MemManage_Handler},
               {5, BusFault_Handler},
               {6, UsageFault_Handler},
               {11, SVC_Handler},
               {12, DebugMon_Handler},
               {14, PendSV_Handler},
               {15, SysTick_Handler},
               {16 + 37, USART1_IRQHandler},
               {16 + 58, DMA2_Stream2_IRQHandler}};
    for (const auto& entry : own) {
        EXPECT_EQ(g_pfnVectors[entry.vector], entry.handler) << "vector " << entry.vector;
        EXPECT_NE(entry.handler, &Default_Handler) << "vector " << entry.vector << " is still the default";
    }
}

// An interrupt the node does not use, once enabled and pending, enters Default_Handler and stays there:
// the simulator reports the core as stopped inside it.
TEST_F(StartupTest, UnusedInterruptEndsInDefaultHandler)
{
    constexpr int kTim2 = 28;
    NVIC->ISER[0] = 1U << kTim2;
    try {
        NVIC->ISPR[0] = 1U << kTim2;
        for (int i = 0; i < 100000; ++i) __NOP();
        FAIL() << "the interrupt was never taken, or its handler returned";
    } catch (const sim::Stop& stop) {
        EXPECT_TRUE(stop.halted());
        EXPECT_NE(stop.reason().find("Default_Handler"), std::string::npos) << stop.reason();
    }
    EXPECT_NE(NVIC->IABR[0] & (1U << kTim2), 0U);  // still active: the handler never returned
}

}  // namespace
