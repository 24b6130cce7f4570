#include "ds18b20_model.h"

#include <algorithm>
#include <cmath>

#include "dallas_crc8.h"

namespace sim {

namespace {
int resolution_bits(uint8_t config)
{
    return 9 + ((config >> 5) & 3);
}
}  // namespace

const Ds18b20Model::Command Ds18b20Model::kRomCommands[] = {
    {0xCC, &Ds18b20Model::skip_rom},
    {0x33, &Ds18b20Model::read_rom},
    {0x55, &Ds18b20Model::match_rom},
};

const Ds18b20Model::Command Ds18b20Model::kFunctionCommands[] = {
    {0x44, &Ds18b20Model::convert_temperature},
    {0xBE, &Ds18b20Model::read_scratchpad},
    {0x4E, &Ds18b20Model::write_scratchpad},
    {0xB4, &Ds18b20Model::read_power_supply},
};

std::array<uint8_t, 9> Ds18b20Model::Scratchpad::bytes() const
{
    const auto raw = static_cast<uint16_t>(temperature);
    std::array<uint8_t, 9> out{static_cast<uint8_t>(raw & 0xFFU),
                               static_cast<uint8_t>(raw >> 8),
                               high_alarm,
                               low_alarm,
                               config,
                               reserved[0],
                               reserved[1],
                               reserved[2],
                               0};
    out[8] = dallas_crc8(std::span<const uint8_t>(out.data(), 8));
    return out;
}

Ds18b20Model::Ds18b20Model(OneWireBus& bus, uint64_t serial) : OneWireSlave(bus)
{
    rom_[0] = 0x28;  // family code of the DS18B20
    for (int i = 0; i < 6; ++i) rom_[1 + i] = static_cast<uint8_t>(serial >> (8 * i));
    rom_[7] = dallas_crc8(std::span<const uint8_t>(rom_.data(), 7));
    set_temperature(21.5);
}

void Ds18b20Model::set_temperature(double celsius)
{
    profile_ = [celsius](Picos) { return celsius; };
}

void Ds18b20Model::set_fault(Fault fault)
{
    fault_ = fault;
    switch (fault) {
        case Fault::Absent:
            set_line_fault(LineFault::Absent);
            return;
        case Fault::HeldLow:
            set_line_fault(LineFault::HeldLow);
            return;
        default:
            set_line_fault(LineFault::None);
            return;
    }
}

Picos Ds18b20Model::conversion_time(uint8_t config)
{
    // 93.75 ms at 9 bits, doubling with each bit: 750 ms at 12.
    return nanoseconds(93'750'000) << (resolution_bits(config) - 9);
}

// ---------------------------------------------------------------------------------------------------
// Commands.

void Ds18b20Model::on_reset_pulse()
{
    expecting_ = Expecting::RomCommand;
    received_.clear();
}

void Ds18b20Model::on_byte(uint8_t byte, Picos now)
{
    switch (expecting_) {
        case Expecting::RomCommand:
            run_command(kRomCommands, byte, now);
            return;
        case Expecting::MatchedRom:
            receive_rom_byte(byte);
            return;
        case Expecting::FunctionCommand:
            run_command(kFunctionCommands, byte, now);
            return;
        case Expecting::ScratchpadWrite:
            receive_scratchpad_byte(byte);
            return;
    }
}

void Ds18b20Model::run_command(std::span<const Command> table, uint8_t byte, Picos now)
{
    for (const Command& command : table) {
        if (command.code == byte) {
            (this->*command.handler)(now);
            return;
        }
    }
    transaction({.kind = Transaction::Kind::Unsupported, .at = now, .byte = byte});
    ignore_slots();
}

// The bytes that follow a command are gathered in received_.
void Ds18b20Model::collect(Expecting what)
{
    received_.clear();
    expecting_ = what;
}

void Ds18b20Model::skip_rom(Picos)
{
    expecting_ = Expecting::FunctionCommand;
}

void Ds18b20Model::read_rom(Picos)
{
    expecting_ = Expecting::FunctionCommand;
    send_bytes(std::vector<uint8_t>(rom_.begin(), rom_.end()), AfterSending::Receive);
}

void Ds18b20Model::match_rom(Picos)
{
    collect(Expecting::MatchedRom);
}

void Ds18b20Model::receive_rom_byte(uint8_t byte)
{
    received_.push_back(byte);
    if (received_.size() < rom_.size()) return;
    // Another part's code: this one stays silent until the next reset.
    if (std::equal(rom_.begin(), rom_.end(), received_.begin()))
        expecting_ = Expecting::FunctionCommand;
    else
        ignore_slots();
}

void Ds18b20Model::convert_temperature(Picos now)
{
    converting_ = true;
    conversion_end_ = now + conversion_time(scratchpad_.config);
    answer_status();
}

void Ds18b20Model::read_scratchpad(Picos)
{
    std::array<uint8_t, 9> bytes = scratchpad_.bytes();
    if (fault_ == Fault::Corrupt)
        for (int bit : corrupt_bits_)
            if (bit >= 0 && bit < 72) bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] ^ (1U << (bit % 8)));
    send_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()), AfterSending::Ignore);
}

void Ds18b20Model::write_scratchpad(Picos)
{
    collect(Expecting::ScratchpadWrite);
}

void Ds18b20Model::receive_scratchpad_byte(uint8_t byte)
{
    received_.push_back(byte);
    switch (received_.size()) {
        case 1:
            scratchpad_.high_alarm = byte;
            return;
        case 2:
            scratchpad_.low_alarm = byte;
            return;
        default:
            scratchpad_.config = static_cast<uint8_t>((byte & 0x60U) | 0x1FU);  // only R1 R0 are writable
            ignore_slots();
            return;
    }
}

void Ds18b20Model::read_power_supply(Picos)
{
    ignore_slots();  // externally powered: read slots answer 1, the line left to the pull-up
}

void Ds18b20Model::finish_conversion(Picos now)
{
    if (!converting_ || now < conversion_end_) return;
    converting_ = false;
    // The result is latched at the end of the conversion, rounded to the resolution: 1/16 C at 12 bits,
    // 1/2 C at 9 (the unused low bits read 0), within the part's range of -55 to +125 C.
    int step = 1 << (12 - resolution_bits(scratchpad_.config));
    double celsius = std::clamp(profile_(conversion_end_), -55.0, 125.0);
    scratchpad_.temperature = static_cast<int16_t>(std::lround(celsius * 16.0 / step) * step);
    transaction(
        {.kind = Transaction::Kind::ConversionDone, .at = conversion_end_, .celsius = scratchpad_.temperature / 16.0});
}

}  // namespace sim
