// The simulated STM32F411's blocks in one table, the way an emulator describes a system on chip: each
// block's name, bus address and size, the bus it hangs on, its interrupt lines and the DMA streams its
// requests reach. The chip builds its models from this table, and the models take their base and
// interrupt lines from their entry.
//
// Written from the reference manual, independently of the firmware's own register map on purpose: a
// test checks that every address, interrupt number, offset and bit the two share agree, so a slip in
// either shows up as a failure instead of as a simulator that agrees with the firmware's mistake.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace sim::soc {

// Interrupt lines of the STM32F411's NVIC: IRQ 0 (WWDG) to IRQ 85 (SPI5).
inline constexpr int kIrqCount = 86;

enum class Bus : uint8_t {
    CorePrivate,  // the Cortex-M4's private peripheral bus (NVIC, SCB, SysTick, DWT)
    Ahb1,
    Apb1,  // PCLK1, at most 50 MHz
    Apb2,  // PCLK2, at most 100 MHz
};

// A peripheral's DMA request reaches `stream` of a controller when that stream selects `channel`.
struct DmaRoute {
    int stream;
    int channel;
};

struct Block {
    std::string_view name;
    uint32_t base;
    uint32_t size;
    Bus bus;
    // Its interrupt lines: none, one, or one per stream for a DMA controller (in stream order).
    std::span<const int> irqs = {};
    // The streams of DMA2 that its receive requests reach (USART1's RX: streams 2 and 5, channel 4).
    std::span<const DmaRoute> rx_dma = {};

    constexpr int irq() const { return irqs.empty() ? -1 : irqs.front(); }
};

namespace detail {
inline constexpr std::array<int, 1> kTim2Irq{28};
inline constexpr std::array<int, 1> kUsart1Irq{37};
inline constexpr std::array<int, 1> kUsart2Irq{38};
// Streams 0-4 on IRQ 56-60; streams 5-7 come later in the vector table, at 68-70.
inline constexpr std::array<int, 8> kDma2StreamIrqs{56, 57, 58, 59, 60, 68, 69, 70};
inline constexpr std::array<DmaRoute, 2> kUsart1RxRoutes{{{2, 4}, {5, 4}}};
}  // namespace detail

// Core private peripherals.
inline constexpr Block kDwt{"DWT", 0xE0001000U, 0x1000U, Bus::CorePrivate};
inline constexpr Block kSysTick{"SysTick", 0xE000E010U, 0x10U, Bus::CorePrivate};
inline constexpr Block kNvic{"NVIC", 0xE000E100U, 0xC00U, Bus::CorePrivate};
inline constexpr Block kScb{"SCB", 0xE000ED00U, 0x90U, Bus::CorePrivate};
inline constexpr Block kCoreDebug{"CoreDebug", 0xE000EDF0U, 0x10U, Bus::CorePrivate};
inline constexpr Block kDbgMcu{"DBGMCU", 0xE0042000U, 0x400U, Bus::CorePrivate};

// The STM32F411's peripherals that the simulator models.
inline constexpr Block kTim2{"TIM2", 0x40000000U, 0x400U, Bus::Apb1, detail::kTim2Irq};
inline constexpr Block kUsart2{"USART2", 0x40004400U, 0x400U, Bus::Apb1, detail::kUsart2Irq};
inline constexpr Block kIwdg{"IWDG", 0x40003000U, 0x400U, Bus::Apb1};
inline constexpr Block kPwr{"PWR", 0x40007000U, 0x400U, Bus::Apb1};
inline constexpr Block kUsart1{"USART1", 0x40011000U, 0x400U, Bus::Apb2, detail::kUsart1Irq, detail::kUsart1RxRoutes};
inline constexpr Block kSyscfg{"SYSCFG", 0x40013800U, 0x400U, Bus::Apb2};
inline constexpr Block kGpioA{"GPIOA", 0x40020000U, 0x400U, Bus::Ahb1};
inline constexpr Block kGpioB{"GPIOB", 0x40020400U, 0x400U, Bus::Ahb1};
inline constexpr Block kGpioC{"GPIOC", 0x40020800U, 0x400U, Bus::Ahb1};
inline constexpr Block kGpioH{"GPIOH", 0x40021C00U, 0x400U, Bus::Ahb1};
inline constexpr Block kRcc{"RCC", 0x40023800U, 0x400U, Bus::Ahb1};
inline constexpr Block kFlash{"FLASH", 0x40023C00U, 0x400U, Bus::Ahb1};
inline constexpr Block kDma2{"DMA2", 0x40026400U, 0x400U, Bus::Ahb1, detail::kDma2StreamIrqs};

// Every block, in the order the chip looks an address up (the most used first). Each has its model
// on the chip (a Mapped<...> member of Chip), which the chip checks when it is built.
inline constexpr auto kBlocks = std::to_array<const Block*>({
    &kNvic,  &kScb,   &kSysTick, &kDwt,  &kCoreDebug, &kRcc,    &kPwr,  &kFlash, &kSyscfg, &kGpioA,
    &kGpioB, &kGpioC, &kGpioH,   &kTim2, &kUsart1,    &kUsart2, &kDma2, &kIwdg,  &kDbgMcu,
});

}  // namespace sim::soc
