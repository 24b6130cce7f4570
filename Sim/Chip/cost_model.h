// What each thing the firmware does to the hardware costs in core cycles. The figures are those of a
// Cortex-M4 on the STM32F411's buses; they are kept here, in one place, so that every timing the
// simulator shows can be traced back to them.
#pragma once

#include "sim_time.h"

namespace sim::cost {

// A load or store to a peripheral on AHB/APB: the bus bridge adds wait states to the 2-cycle LDR/STR.
constexpr Cycles kPeripheralAccess{4};
// A load or store on the core's private peripheral bus (NVIC, SysTick, SCB, DWT): no bridge.
constexpr Cycles kCoreAccess{2};
// The access instruction's own issue cycle is part of the two figures above. A core that counts one
// cycle for every instruction it executes (the emulated Cortex-M4) adds only the rest per access, so
// that a register access costs the same in both builds: 4 cycles to a peripheral, 2 on the core's bus.
constexpr Cycles kAccessIssue{1};
// LDREX/STREX pair members: one access each, as a plain load or store on the same bus.
constexpr Cycles kExclusiveExtra{0};
constexpr Cycles kNop{1};
constexpr Cycles kBarrier{1};
constexpr Cycles kCpsid{1};
// Exception entry (stacking eight words) and return (unstacking), as the architecture states.
constexpr Cycles kExceptionEntry{12};
constexpr Cycles kExceptionReturn{12};

}  // namespace sim::cost
