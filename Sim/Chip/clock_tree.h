// The clock frequencies the RCC model derives from its registers, and who must hear when they change
// (the core's cycle period, SysTick, the serial ports' bit time, TIM2's counter).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

struct Clocks {
    uint32_t sysclk = 16'000'000;    // HSI after reset
    uint32_t hclk = 16'000'000;      // core, AHB, SysTick, cycle counter
    uint32_t pclk1 = 16'000'000;     // APB1: TIM2, USART2
    uint32_t pclk2 = 16'000'000;     // APB2: USART1
    uint32_t tim_apb1 = 16'000'000;  // twice PCLK1 when the APB1 divider is not 1
};

class ClockTree {
public:
    using Listener = std::function<void(const Clocks& before, const Clocks& after)>;

    const Clocks& now() const { return clocks_; }
    void set(const Clocks& clocks);
    void on_change(Listener listener) { listeners_.push_back(std::move(listener)); }
    // Runs before every listener: the core re-bases its cycle count on the old frequency first.
    void set_core_hook(Listener hook) { core_hook_ = std::move(hook); }

private:
    Clocks clocks_;
    Listener core_hook_;
    std::vector<Listener> listeners_;
};

}  // namespace sim
