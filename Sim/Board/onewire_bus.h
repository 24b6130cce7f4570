// The board's 1-Wire line: one chip pin, a 4.7 kOhm pull-up to 3.3 V and the devices hung on it. The
// level is the wired AND of every driver: low when the pin drives low or any device pulls low, high
// through the pull-up otherwise. The bus is what the GPIO port sees on the pin; it passes the master's
// drive changes on to each device and tells the port when a device changes its own drive.
#pragma once

#include <functional>
#include <vector>

#include "pin_wiring.h"
#include "scheduler.h"
#include "sim_time.h"

namespace sim {

class GpioPort;

// A device on the 1-Wire line, seen from the bus.
class OneWireDevice {
public:
    // Low or None: a 1-Wire device only ever pulls the line down.
    virtual Drive drive(Picos now) const = 0;
    // The master (the chip's pin) started pulling the line low (`low` true) or let it go.
    virtual void master_changed(bool low, Picos now) = 0;
    // The master read the line (the firmware read the port's input register).
    virtual void master_sampled(Picos /*now*/) {}

protected:
    ~OneWireDevice() = default;
};

class OneWireBus final : public PinDevice {
public:
    explicit OneWireBus(Scheduler& scheduler) : scheduler_(scheduler) {}
    OneWireBus(const OneWireBus&) = delete;
    OneWireBus& operator=(const OneWireBus&) = delete;

    // Wires the bus to `pin` of `port`: the port asks the bus for its drive and tells it of the chip's.
    void attach_to(GpioPort& port, int pin);
    // Who must hear that a device's drive changed (the port re-resolves the pin then). attach_to sets it.
    void set_line_notifier(std::function<void()> notify) { notify_ = std::move(notify); }
    void connect(OneWireDevice& device) { devices_.push_back(&device); }

    // A device's drive changes at `at`: the line is re-resolved then, so that pin traces show the edge
    // at its own time rather than at the next access of the firmware.
    void device_edge_at(Picos at);
    // A device's drive changed just now (a fault came or went): the line is re-resolved at once.
    void device_changed_now()
    {
        if (notify_) notify_();
    }
    // The firmware read the pin: the devices may judge when the master sampled.
    void master_sampled(Picos now);

    bool master_low() const { return master_low_; }

    // PinDevice
    Drive drive(Picos now) const override;
    bool pull_up() const override { return true; }
    void on_chip_drive(Drive chip, Picos now) override;
    void on_read(Picos now) override { master_sampled(now); }

private:
    Scheduler& scheduler_;
    std::function<void()> notify_;
    std::vector<OneWireDevice*> devices_;
    bool master_low_ = false;
};

}  // namespace sim
