#include "gpio.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace sim {

using namespace gpio_reg;

namespace {

// Mask of the fields of the pins set in `pins`, for a register with `bits` bits per pin whose first
// field belongs to pin `first_pin`.
uint32_t field_mask(uint32_t pins, unsigned bits, int first_pin)
{
    uint32_t mask = 0;
    uint32_t one = (bits >= 32) ? 0xFFFFFFFFU : ((1U << bits) - 1U);
    for (unsigned i = 0; i * bits < 32; ++i) {
        if (pins & (1U << (first_pin + static_cast<int>(i)))) mask |= one << (i * bits);
    }
    return mask;
}

}  // namespace

GpioPort::GpioPort(ChipContext& chip, const soc::Block& block)
    : Peripheral(block),
      chip_(chip),
      letter_(block.name.back()),
      regs_(*this, *this, register_table(), chip.log()),
      moder_(regs_.at(kModer)),
      otyper_(regs_.at(kOtyper)),
      ospeedr_(regs_.at(kOspeedr)),
      pupdr_(regs_.at(kPupdr)),
      odr_(regs_.at(kOdr)),
      afr_(&regs_.at(kAfrl))
{
    pushed_level_.fill(-1);
    reset();
}

void GpioPort::reset()
{
    // After reset the debug pins are in their alternate function: PA13 SWDIO (pull-up), PA14 SWCLK
    // (pull-down), PA15 JTDI (pull-up), PB3 JTDO/SWO, PB4 NJTRST (pull-up); every other pin is an input.
    regs_.reset();
    lckr_ = 0;
    locked_ = false;
    lock_step_ = 0;
    if (letter_ == 'A') {
        moder_ = 0xA8000000U;
        ospeedr_ = 0x0C000000U;
        pupdr_ = 0x64000000U;
    } else if (letter_ == 'B') {
        moder_ = 0x00000280U;
        ospeedr_ = 0x000000C0U;
        pupdr_ = 0x00000100U;
    }
    pins_changed(0xFFFFU);
}

// ---------------------------------------------------------------------------------------------------
// Registers.

std::span<const Register<GpioPort>> GpioPort::register_table()
{
    using G = GpioPort;
    static constexpr Register<G> kTable[] = {
        {.offset = kModer,
         .name = "MODER",
         .on_write = [](G& g, unsigned, uint32_t, uint32_t before) { g.config_written(g.moder_, before, 2, 0, true); }},
        {.offset = kOtyper,
         .name = "OTYPER",
         .writable = 0xFFFFU,
         .on_write = [](G& g, unsigned, uint32_t,
                        uint32_t before) { g.config_written(g.otyper_, before, 1, 0, true); }},
        // Slew rate only: no level changes.
        {.offset = kOspeedr,
         .name = "OSPEEDR",
         .on_write = [](G& g, unsigned, uint32_t,
                        uint32_t before) { g.config_written(g.ospeedr_, before, 2, 0, false); }},
        {.offset = kPupdr,
         .name = "PUPDR",
         .on_write = [](G& g, unsigned, uint32_t, uint32_t before) { g.config_written(g.pupdr_, before, 2, 0, true); }},
        // The pins' levels (idr()); it moves with time while a pin's level is a function of time.
        {.offset = kIdr,
         .name = "IDR",
         .writable = 0,
         .on_read = [](G& g, unsigned) { return g.idr(); },
         .on_write = [](G& g, unsigned, uint32_t,
                        uint32_t) { g.chip_.log().line(g.name() + ": write to read-only IDR ignored"); },
         .motion = [](const G& g) { return g.timed_pins() != 0 ? Motion::Counts : Motion::AtEvents; }},
        {.offset = kOdr,
         .name = "ODR",
         .writable = 0xFFFFU,
         .on_write = [](G& g, unsigned, uint32_t, uint32_t before) { g.pins_changed(before ^ g.odr_); }},
        // Write-only (reads 0): set bits in the low half, reset bits in the high half; a pin in both is set.
        {.offset = kBsrr,
         .name = "BSRR",
         .writable = 0,
         .on_write = [](G& g, unsigned, uint32_t value,
                        uint32_t) { g.set_output((g.odr_ & ~(value >> 16)) | (value & 0xFFFFU)); }},
        {.offset = kLckr,
         .name = "LCKR",
         .writable = 0,
         .on_read = [](G& g, unsigned) { return (g.lckr_ & 0xFFFFU) | (g.locked_ ? kLckk : 0U); },
         .on_write = [](G& g, unsigned, uint32_t value, uint32_t) { g.write_lckr(value); }},
        {.offset = kAfrl,
         .name = "AFR",
         .on_write =
             [](G& g, unsigned index, uint32_t, uint32_t before) {
                 g.config_written(g.afr_[index], before, 4, static_cast<int>(index) * 8, true);
             },
         .count = 2},
    };
    return kTable;
}

uint32_t GpioPort::read(uint32_t offset, unsigned width)
{
    return regs_.read(offset, width);
}

void GpioPort::write(uint32_t offset, uint32_t value, unsigned width)
{
    regs_.write(offset, value, width);
}

void GpioPort::config_written(uint32_t& reg, uint32_t before, unsigned bits_per_pin, int first_pin, bool affects_levels)
{
    if (locked_) reg = keep_locked(before, reg, bits_per_pin, first_pin);
    // The 1-Wire master rewrites MODER for every slot: an unchanged word changes no pin.
    if (affects_levels && reg != before) pins_changed(changed_pins(before, reg, bits_per_pin, first_pin));
}

void GpioPort::set_output(uint32_t odr)
{
    uint32_t before = odr_;
    odr_ = odr;
    pins_changed(before ^ odr_);
}

// The lock key sequence is: write LCKK=1 with the pin mask, LCKK=0 with the same mask, LCKK=1 with the
// same mask. From then on, until reset, the masked pins' configuration cannot change.
void GpioPort::write_lckr(uint32_t value)
{
    if (locked_) return;
    uint32_t pins = value & 0xFFFFU;
    bool key = (value & kLckk) != 0;
    bool same = pins == (lckr_ & 0xFFFFU);
    if (lock_step_ == 1 && !key && same) {
        lock_step_ = 2;
    } else if (lock_step_ == 2 && key && same) {
        locked_ = true;
        lock_step_ = 0;
    } else {
        lock_step_ = key ? 1 : 0;
    }
    lckr_ = pins;
}

uint32_t GpioPort::keep_locked(uint32_t old_value, uint32_t new_value, unsigned bits_per_pin, int first_pin) const
{
    if (!locked_) return new_value;
    uint32_t mask = field_mask(lckr_ & 0xFFFFU, bits_per_pin, first_pin);
    return (new_value & ~mask) | (old_value & mask);
}

// One bit per pin from a register of two bits per pin: bit n is the low bit of field n.
static uint32_t low_bits_of_fields(uint32_t fields)
{
    uint32_t x = fields & 0x55555555U;
    x = (x | (x >> 1)) & 0x33333333U;
    x = (x | (x >> 2)) & 0x0F0F0F0FU;
    x = (x | (x >> 4)) & 0x00FF00FFU;
    return (x | (x >> 8)) & 0x0000FFFFU;
}

uint32_t GpioPort::changed_pins(uint32_t old_value, uint32_t new_value, unsigned bits_per_pin, int first_pin)
{
    uint32_t diff = old_value ^ new_value;
    if (bits_per_pin == 2) return low_bits_of_fields(diff | (diff >> 1)) << first_pin;  // MODER, PUPDR: every slot
    uint32_t one = (1U << bits_per_pin) - 1U;
    uint32_t pins = 0;
    for (unsigned i = 0; i * bits_per_pin < 32; ++i) {
        if ((diff >> (i * bits_per_pin)) & one) pins |= 1U << (first_pin + static_cast<int>(i));
    }
    return pins;
}

uint32_t GpioPort::timed_pins() const
{
    uint32_t pins = device_pins_;
    const uint32_t alternate_mode = low_bits_of_fields(moder_ >> 1) & ~low_bits_of_fields(moder_);
    for (uint32_t sourced = source_pins_ & alternate_mode; sourced != 0; sourced &= sourced - 1) {
        const int pin = std::countr_zero(sourced);
        if (source_af_[pin] == alternate(pin)) pins |= 1U << pin;
    }
    return pins;
}

// ---------------------------------------------------------------------------------------------------
// Pin levels.

int GpioPort::alternate_level(int pin, Picos now) const
{
    if (sources_[pin] && source_af_[pin] == alternate(pin)) return sources_[pin](now);
    return pushed_level_[pin];
}

Drive GpioPort::chip_drive(int pin) const
{
    int bit;
    switch (mode(pin)) {
        case kOutput:
            bit = (odr_ >> pin) & 1U;
            break;
        case kAlternate:
            bit = alternate_level(pin, chip_.now());
            if (bit < 0) return Drive::None;
            break;
        default:
            return Drive::None;  // input, analog: the output buffer is off
    }
    bool open_drain = (otyper_ >> pin) & 1U;
    if (bit) return open_drain ? Drive::None : Drive::High;
    return Drive::Low;
}

GpioPort::Resolution GpioPort::resolve(int pin, Picos now) const
{
    Drive chip = chip_drive(pin);
    bool low = chip == Drive::Low;
    bool high = chip == Drive::High;
    bool board_pull_up = false;
    for (const PinDevice* device : devices_[pin]) {
        Drive d = device->drive(now);
        low = low || d == Drive::Low;
        high = high || d == Drive::High;
        board_pull_up = board_pull_up || device->pull_up();
    }
    const bool driven = chip != Drive::None;
    if (low) return {0, high, driven};
    if (high) return {1, false, driven};
    // Nothing drives. In analog mode the internal pulls are disconnected. A board pull-up (4.7 kOhm) is
    // far stronger than the internal pull-down (about 40 kOhm), so it wins when both are present.
    uint32_t pull = mode(pin) == kAnalog ? 0U : (pupdr_ >> (2 * pin)) & 3U;
    if (board_pull_up || pull == 1U) return {1, false, driven};
    return {0, false, driven};  // pull-down, or floating (see the header)
}

uint32_t GpioPort::idr() const
{
    // Every pin reads its level by the one rule, resolve(): the level last worked out for it, kept up to
    // date whenever the registers, a pushed alternate level or a device announce a change (refresh()),
    // except on the pins whose level is a function of time, worked out now, in pin order, each device
    // told of the read first (the 1-Wire master samples its port a thousand times a simulated second, the
    // sensor's answer depending on the time within the slot). Analog pins read 0 (the Schmitt trigger is
    // off).
    const Picos now = chip_.now();
    const uint32_t timed = timed_pins();
    uint32_t value = levels_ & ~timed;
    for (uint32_t pins = timed; pins != 0; pins &= pins - 1) {
        const int pin = std::countr_zero(pins);
        for (PinDevice* device : devices_[pin]) device->on_read(now);
        if (mode(pin) != kAnalog && resolve(pin, now).level) value |= 1U << pin;
    }
    return value;
}

int GpioPort::level(int pin)
{
    if (pin < 0 || pin > 15) return 0;
    return resolve(pin, chip_.now()).level;
}

void GpioPort::pins_changed(uint32_t pins)
{
    Picos now = chip_.now();
    for (pins &= 0xFFFFU; pins != 0; pins &= pins - 1) {  // the set bits alone, lowest pin first
        const int pin = std::countr_zero(pins);
        Drive d = chip_drive(pin);
        if (d != drives_[pin]) {
            drives_[pin] = d;
            for (PinDevice* device : devices_[pin]) device->on_chip_drive(d, now);
        }
        refresh(pin);
    }
}

void GpioPort::refresh(int pin, Picos now)
{
    Resolution r = resolve(pin, now);
    uint32_t bit = 1U << pin;
    if (r.contention && !(contention_ & bit)) {
        chip_.log().line(name() + ": pin " + std::to_string(pin) +
                         " driven high by one side and low by another (contention); it reads low");
    }
    contention_ = r.contention ? (contention_ | bit) : (contention_ & ~bit);
    const bool level_changed = ((levels_ & bit) != 0) != (r.level != 0);
    const bool drive_changed = ((driven_ & bit) != 0) != r.driven;
    // Its peripheral input first: a change of the pin's mode or function alone may connect or disconnect it.
    if (input_pins_ & bit) feed_input(pin, r.level, now);
    if (!level_changed && !drive_changed) return;
    levels_ ^= level_changed ? bit : 0U;
    driven_ ^= drive_changed ? bit : 0U;
    if (level_changed)
        for (auto& observer : observers_) observer(letter_, pin, r.level, now);
    for (auto& observer : state_observers_) observer(letter_, pin, r.level, r.driven, now);
}

// ---------------------------------------------------------------------------------------------------
// Board and peripheral side.

void GpioPort::feed_input(int pin, int level, Picos at)
{
    const uint32_t bit = 1U << pin;
    const int seen = mode(pin) == kAlternate && alternate(pin) == input_af_[pin] ? level : 1;
    if (((input_levels_ & bit) != 0) == (seen != 0)) return;
    input_levels_ ^= bit;
    inputs_[pin](seen, at);
}

bool GpioPort::has_timed_device(int pin) const
{
    return std::any_of(devices_[pin].begin(), devices_[pin].end(),
                       [](const PinDevice* device) { return !device->announces_changes(); });
}

void GpioPort::attach(int pin, PinDevice* device)
{
    if (pin < 0 || pin > 15 || device == nullptr) {
        chip_.log().line(name() + ": attach to pin " + std::to_string(pin) + " ignored");
        return;
    }
    devices_[pin].push_back(device);
    if (has_timed_device(pin)) device_pins_ |= 1U << pin;
    refresh(pin);
}

void GpioPort::detach(int pin, PinDevice* device)
{
    if (pin < 0 || pin > 15) return;
    std::erase(devices_[pin], device);
    if (!has_timed_device(pin)) device_pins_ &= ~(1U << pin);
    refresh(pin);
}

void GpioPort::external_changed(int pin, Picos at)
{
    if (pin < 0 || pin > 15) return;
    refresh(pin, at);
}

void GpioPort::set_alternate_level(int pin, int level)
{
    if (pin < 0 || pin > 15) return;
    pushed_level_[pin] = static_cast<int8_t>(level < 0 ? -1 : (level ? 1 : 0));
    if (mode(pin) == kAlternate) pins_changed(1U << pin);
}

void GpioPort::connect_alternate_input(int pin, uint32_t af, InputListener input)
{
    if (pin < 0 || pin > 15) return;
    inputs_[pin] = std::move(input);
    input_af_[pin] = af;
    input_pins_ = inputs_[pin] ? (input_pins_ | (1U << pin)) : (input_pins_ & ~(1U << pin));
    input_levels_ |= 1U << pin;  // idle until the pin is seen connected
    if (inputs_[pin]) feed_input(pin, (levels_ >> pin) & 1U, chip_.now());
}

void GpioPort::set_alternate_source(int pin, uint32_t af, LevelSource source)
{
    if (pin < 0 || pin > 15) return;
    sources_[pin] = std::move(source);
    source_af_[pin] = af;
    source_pins_ = sources_[pin] ? (source_pins_ | (1U << pin)) : (source_pins_ & ~(1U << pin));
    if (mode(pin) == kAlternate) pins_changed(1U << pin);
}

}  // namespace sim
