#include "onewire_bus.h"

#include "gpio.h"

namespace sim {

void OneWireBus::attach_to(GpioPort& port, int pin)
{
    notify_ = [&port, pin] { port.external_changed(pin); };
    port.attach(pin, this);
}

void OneWireBus::device_edge_at(Picos at)
{
    scheduler_.schedule(at, [this](Picos) {
        if (notify_) notify_();
    });
}

void OneWireBus::master_sampled(Picos now)
{
    for (OneWireDevice* device : devices_) device->master_sampled(now);
}

Drive OneWireBus::drive(Picos now) const
{
    for (const OneWireDevice* device : devices_)
        if (device->drive(now) == Drive::Low) return Drive::Low;
    return Drive::None;
}

void OneWireBus::on_chip_drive(Drive chip, Picos now)
{
    // A push-pull high is not a release on an open-drain bus, but the devices see the same thing: the
    // master is not pulling low. The port reports the contention if a device pulls low meanwhile.
    bool low = chip == Drive::Low;
    if (low == master_low_) return;
    master_low_ = low;
    for (OneWireDevice* device : devices_) device->master_changed(low, now);
}

}  // namespace sim
