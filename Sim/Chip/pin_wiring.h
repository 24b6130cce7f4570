// How the board is wired to the chip's pins. A GPIO port resolves each pin's level from its own driver
// (push-pull or open-drain output, an alternate function's output), the external devices attached to
// the pin and the pulls (the pin's own pull-up/pull-down, an external pull-up resistor): any driver
// pulling low wins against a pull-up (a wired AND, as on the 1-Wire line), and the pulls decide only
// when nothing drives.
#pragma once

#include <cstdint>
#include <functional>

#include "sim_time.h"

namespace sim {

enum class Drive : uint8_t { None, Low, High };

// Something on the board wired to one pin of the chip (the DS18B20 on the 1-Wire line, a switch).
class PinDevice {
public:
    // What the device drives onto the line at `now`.
    virtual Drive drive(Picos now) const = 0;
    // An external pull-up resistor to 3.3 V on this line (the 1-Wire bus's 4.7 kOhm).
    virtual bool pull_up() const { return false; }
    // The chip's own driver on this pin changed (an output went low, a pin was released to input).
    virtual void on_chip_drive(Drive /*chip*/, Picos /*now*/) {}
    // The chip sampled the pin (a read of the port's input register): a sensor judges its master's timing.
    virtual void on_read(Picos /*now*/) {}
    // Whether the device's drive changes only when it says so (GpioPort::external_changed() with the
    // change's time), as a serial line's sender does: the port then keeps the pin's level instead of
    // asking the device at every read of IDR.
    virtual bool announces_changes() const { return false; }

protected:
    ~PinDevice() = default;
};

// Told of every change of a pin's resolved level (for traces and waveforms): port letter, pin 0-15.
using PinObserver = std::function<void(char port, int pin, int level, Picos at)>;
// Told of every change of a pin's resolved level or of whether the chip's own output drives it (`driven`):
// a pin that becomes an output already at the level it floated at changes what is wired to it (an LED
// lights) without a new level.
using PinStateObserver = std::function<void(char port, int pin, int level, bool driven, Picos at)>;

}  // namespace sim
