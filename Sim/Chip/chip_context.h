// What a peripheral model needs from the chip around it: the time, the event queue, the clocks,
// the interrupt controller and the log. Models hold a reference to this and nothing else of the chip.
#pragma once

#include "clock_tree.h"
#include "exceptions.h"
#include "scheduler.h"
#include "sim_log.h"
#include "sim_time.h"

namespace sim {

class ChipContext {
public:
    virtual Picos now() const = 0;
    virtual Scheduler& scheduler() = 0;
    virtual ClockTree& clocks() = 0;
    virtual Exceptions& exceptions() = 0;
    virtual Log& log() = 0;
    // Core cycles elapsed since reset (counting at whatever HCLK was in force at each moment).
    virtual Cycles core_cycles() const = 0;

    // Accesses by a bus master other than the core (the DMA controller): no cost, no interrupt delivery.
    // `address` is what the firmware wrote into the master's address register: a peripheral register's
    // address as the firmware sees it, or a RAM address.
    virtual uint32_t master_read(uint32_t address, unsigned width) = 0;
    virtual void master_write(uint32_t address, uint32_t value, unsigned width) = 0;

protected:
    ~ChipContext() = default;
};

}  // namespace sim
