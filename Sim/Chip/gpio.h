// One GPIO port of the STM32F411 (16 pins): its configuration registers, the output latch, and the
// level of each pin as the board resolves it.
//
// A pin's level comes from the chip's own driver (push-pull output: the latch; open-drain: low or
// nothing; alternate function: the peripheral's output; input and analog: nothing), the devices wired to
// it, and the pulls. Any driver pulling low wins (a wired AND, as on the 1-Wire line); a driver high
// against one low is contention, logged, and reads low. With nothing driving, a pull-up (internal or on
// the board) gives 1, a pull-down 0, and a floating pin reads 0: a real floating CMOS input reads
// whatever charge is left on it, and 0 is the value a test can rely on.
//
// One rule gives a pin's level (resolve()). IDR holds it as last worked out for every pin whose level
// changes only when the port is told (a register write, a pushed alternate-function level, a device
// calling external_changed()); a pin with a device whose drive may depend on time (a sensor holding the
// line low for 15 us of a read slot), or with a level source, is worked out when IDR is read, so that it
// is seen exactly then. A peripheral reads its input pins by the same rule (a serial receiver's RX). Observers hear of every change of a resolved level
// that the port is told about: a register write that changes the chip's drive or pull, a device calling
// external_changed(), a pushed alternate-function level; state observers also hear when the chip's own
// output starts or stops driving a pin whose level stays (the LED's pin turned into an output already
// low). A pin whose alternate function has a level source (TIM2's PWM on A0) is computed on demand and
// not announced edge by edge: ask the timer for its waveform.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "chip_context.h"
#include "peripheral.h"
#include "pin_wiring.h"

namespace sim {

namespace gpio_reg {
inline constexpr uint32_t kModer = 0x00, kOtyper = 0x04, kOspeedr = 0x08, kPupdr = 0x0C, kIdr = 0x10, kOdr = 0x14;
inline constexpr uint32_t kBsrr = 0x18, kLckr = 0x1C, kAfrl = 0x20, kAfrh = 0x24;
inline constexpr uint32_t kLckk = 1U << 16;  // LCKR lock key bit
// MODER's two bits per pin.
inline constexpr uint32_t kInput = 0, kOutput = 1, kAlternate = 2, kAnalog = 3;
}  // namespace gpio_reg

class GpioPort : public Peripheral {
public:
    // The output level of a peripheral's alternate function at a time: 0 or 1, or -1 for not driving.
    using LevelSource = std::function<int(Picos now)>;

    // The port letter is the last letter of the block's name (GPIOA: A).
    GpioPort(ChipContext& chip, const soc::Block& block);

    uint32_t read(uint32_t offset, unsigned width) override;
    uint32_t peek(uint32_t offset) override { return regs_.peek(offset); }
    void write(uint32_t offset, uint32_t value, unsigned width) override;
    // IDR moves with time, not only at scheduled events, while a pin's level is a function of time
    // (timed_pins()): a poll of it must creep, not jump to the next event.
    Motion motion(uint32_t offset) const override { return regs_.motion(offset); }

    // Back to the reference manual's reset values (the debug pins of ports A and B in their alternate
    // function with their pulls). Attached devices, observers and alternate sources stay.
    void reset() override;

    // Board side.
    void attach(int pin, PinDevice* device);
    void detach(int pin, PinDevice* device);
    // A device's drive of `pin` changed: re-resolve now and tell the observers. With `at`: it changed at
    // that time (an event's own, not later than now), which the observers and the pin's peripheral input
    // are given.
    void external_changed(int pin) { external_changed(pin, chip_.now()); }
    void external_changed(int pin, Picos at);
    // The resolved level of `pin` now (0 or 1), whatever its mode.
    int level(int pin);
    // What the chip itself drives onto `pin` now.
    Drive chip_drive(int pin) const;
    // Whether the chip's output buffer drives `pin` now (high or low).
    bool driven(int pin) const { return chip_drive(pin) != Drive::None; }
    void on_level_change(PinObserver observer) { observers_.push_back(std::move(observer)); }
    void on_state_change(PinStateObserver observer) { state_observers_.push_back(std::move(observer)); }

    // Peripheral side. A peripheral pushes its alternate-function output level (0, 1, or -1 to stop
    // driving); it takes effect only while the pin is in alternate-function mode.
    void set_alternate_level(int pin, int level);
    // Or registers a source that is asked for the level whenever it is needed, used while the pin is in
    // alternate-function mode with function number `af` selected.
    void set_alternate_source(int pin, uint32_t af, LevelSource source);
    // A peripheral's input from `pin` through alternate function `af` (a serial receiver's RX): `input`
    // hears the level the peripheral sees, the pin's level by the one rule (resolve()), at every change,
    // with the change's time. The alternate-function multiplexer connects the pin to the peripheral only
    // while the pin is in alternate-function mode with `af` selected; until then the input sees the idle
    // high level, as a receiver's line does with nothing sending.
    using InputListener = std::function<void(int level, Picos at)>;
    void connect_alternate_input(int pin, uint32_t af, InputListener input);

    char letter() const { return letter_; }
    uint32_t moder() const { return moder_; }
    uint32_t otyper() const { return otyper_; }
    uint32_t ospeedr() const { return ospeedr_; }
    uint32_t pupdr() const { return pupdr_; }
    uint32_t odr() const { return odr_; }
    uint32_t afr(int index) const { return afr_[index & 1]; }
    uint32_t locked_pins() const { return locked_ ? lckr_ & 0xFFFFU : 0U; }
    uint32_t mode(int pin) const { return (moder_ >> (2 * pin)) & 3U; }
    uint32_t idr() const;
    uint32_t alternate(int pin) const { return (afr_[pin >> 3] >> (4 * (pin & 7))) & 0xFU; }

private:
    struct Resolution {
        int level;
        bool contention;
        bool driven;  // the chip's own output buffer drives the pin
    };
    // The one rule for a pin's level.
    Resolution resolve(int pin, Picos now) const;
    // The pins whose level is a function of time, worked out when read rather than kept: those with a
    // device (its drive may depend on the time, as a sensor's in a read slot) and those in alternate mode
    // with a level source selected (TIM2's PWM on A0).
    uint32_t timed_pins() const;
    int alternate_level(int pin, Picos now) const;

    // The configuration of `pins` may have changed: tell the pins' devices of a new chip drive and
    // re-resolve them.
    void pins_changed(uint32_t pins);
    void refresh(int pin) { refresh(pin, chip_.now()); }
    void refresh(int pin, Picos at);
    // The level the peripheral input on `pin` sees (connect_alternate_input()), told to it when it changes.
    void feed_input(int pin, int level, Picos at);
    // Whether a device that does not announce its changes is on `pin` (its level is then a function of time).
    bool has_timed_device(int pin) const;

    // Writes to a configuration register keep the fields of locked pins.
    uint32_t keep_locked(uint32_t old_value, uint32_t new_value, unsigned bits_per_pin, int first_pin) const;
    void write_lckr(uint32_t value);
    static uint32_t changed_pins(uint32_t old_value, uint32_t new_value, unsigned bits_per_pin, int first_pin);
    // A configuration register was written: keep the locked pins' fields, then re-resolve the pins
    // whose fields changed (when the register affects levels).
    void config_written(uint32_t& reg, uint32_t before, unsigned bits_per_pin, int first_pin, bool affects_levels);
    void set_output(uint32_t odr);
    static std::span<const Register<GpioPort>> register_table();

    ChipContext& chip_;
    char letter_;

    RegisterMap<GpioPort> regs_;
    // The registers' stored words, which the map keeps.
    uint32_t &moder_, &otyper_, &ospeedr_, &pupdr_, &odr_;
    uint32_t* afr_;  // AFRL, AFRH
    uint32_t lckr_ = 0;
    bool locked_ = false;
    int lock_step_ = 0;  // progress of the LCKR key sequence: write 1, write 0, write 1

    std::array<std::vector<PinDevice*>, 16> devices_;
    uint32_t device_pins_ = 0;               // the pins with a device that does not announce its changes
    std::array<Drive, 16> drives_{};         // chip drive last told to the devices
    std::array<int8_t, 16> pushed_level_{};  // alternate-function level pushed by a peripheral, -1 none
    std::array<LevelSource, 16> sources_;
    std::array<uint32_t, 16> source_af_{};
    uint32_t source_pins_ = 0;  // the pins with a level source
    std::array<InputListener, 16> inputs_;
    std::array<uint32_t, 16> input_af_{};
    uint32_t input_pins_ = 0;      // the pins with a peripheral input
    uint32_t input_levels_ = ~0U;  // what each peripheral input last saw (idle high)
    uint32_t levels_ = 0;          // resolved levels, kept up to date by refresh(): IDR's untimed pins
    uint32_t driven_ = 0;          // pins the chip drives, as last announced
    uint32_t contention_ = 0;      // pins in contention, so that it is logged once when it starts
    std::vector<PinObserver> observers_;
    std::vector<PinStateObserver> state_observers_;
};

}  // namespace sim
