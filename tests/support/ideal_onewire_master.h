// A 1-Wire master with ideal timing, stepping its own clock: drives a bus directly, with times chosen
// by the test, for the tests of the slave models.
#pragma once

#include <cstdint>

#include "onewire_bus.h"
#include "scheduler.h"

namespace test {

// The queue the bus schedules the devices' edges on and the bus itself, built before the master that
// drives them (a base class of the test's wire, so that it exists when the master is built).
struct OneWireLine {
    sim::Scheduler scheduler;
    sim::OneWireBus bus{scheduler};
};

class IdealOneWireMaster {
public:
    explicit IdealOneWireMaster(sim::OneWireBus& bus) : bus_(bus) {}

    void low(sim::Picos length)
    {
        bus_.on_chip_drive(sim::Drive::Low, t);
        t += length;
    }
    void release(sim::Picos length)
    {
        bus_.on_chip_drive(sim::Drive::None, t);
        t += length;
    }
    int sample()
    {
        bus_.master_sampled(t);
        return bus_.drive(t) == sim::Drive::Low ? 0 : 1;
    }
    // A reset pulse, the presence sample `sample_at` after its release, and the rest of the 480 us
    // presence window and a slot's worth of margin. Returns whether a device answered.
    bool reset(sim::Picos sample_at = sim::microseconds(70))
    {
        low(sim::microseconds(480));
        release(sample_at);
        bool present = sample() == 0;
        t += sim::microseconds(480) - sample_at + sim::microseconds(60);
        return present;
    }
    void write_bit(int bit)
    {
        if (bit) {
            low(sim::microseconds(6));
            release(sim::microseconds(64));
        } else {
            low(sim::microseconds(64));
            release(sim::microseconds(6));
        }
    }
    void write(uint8_t byte)
    {
        for (int i = 0; i < 8; ++i) write_bit((byte >> i) & 1);
    }
    int read_bit()
    {
        low(sim::microseconds(2));
        release(sim::microseconds(8));
        int bit = sample();
        t += sim::microseconds(60);
        return bit;
    }
    uint8_t read()
    {
        uint8_t byte = 0;
        for (int i = 0; i < 8; ++i) byte = static_cast<uint8_t>(byte | (read_bit() << i));
        return byte;
    }

    sim::Picos t = sim::microseconds(100);

private:
    sim::OneWireBus& bus_;
};

}  // namespace test
