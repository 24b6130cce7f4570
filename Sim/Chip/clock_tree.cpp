#include "clock_tree.h"

namespace sim {

void ClockTree::set(const Clocks& clocks)
{
    Clocks before = clocks_;
    clocks_ = clocks;
    if (before.sysclk == clocks.sysclk && before.hclk == clocks.hclk && before.pclk1 == clocks.pclk1 &&
        before.pclk2 == clocks.pclk2 && before.tim_apb1 == clocks.tim_apb1)
        return;
    if (core_hook_) core_hook_(before, clocks_);
    for (auto& listener : listeners_) listener(before, clocks_);
}

}  // namespace sim
