// A DS18B20 digital thermometer on the 1-Wire bus, externally powered: the link layer of a 1-Wire
// slave (onewire_slave.h) with the part's ROM and function commands on top. ROM commands: Read ROM,
// Match ROM, Skip ROM. Function commands: Convert T (busy for 93.75 / 187.5 / 375 / 750 ms at 9-12
// bits, read slots answer 0 until done), Read Scratchpad, Write Scratchpad, Read Power Supply. A reset
// aborts any transfer (a conversion carries on).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "onewire_slave.h"
#include "sim_time.h"

namespace sim {

class Ds18b20Model final : public OneWireSlave {
public:
    enum class Fault : uint8_t {
        None,
        Absent,   // not on the bus: never answers, the pull-up keeps the line high
        HeldLow,  // shorted: holds the line low for ever
        Corrupt,  // answers, but flips the chosen bits of every scratchpad read
    };

    // The part's nine-byte scratchpad, at power-on.
    struct Scratchpad {
        int16_t temperature = 85 * 16;  // sixteenths of a degree, two's complement: +85 C until converted
        uint8_t high_alarm = 0x4B;      // TH, 75 C
        uint8_t low_alarm = 0x46;       // TL, 70 C
        uint8_t config = 0x7F;          // resolution in bits 6-5 (R1 R0): 12 bits; bits 4-0 read 1
        std::array<uint8_t, 3> reserved{0xFF, 0x0C, 0x10};

        // As a Read Scratchpad sends it: temperature LSB and MSB, TH, TL, configuration, the reserved
        // bytes, then the CRC of those eight.
        std::array<uint8_t, 9> bytes() const;
    };

    // `serial` is the 48-bit serial number of the ROM code (family 0x28 and the CRC are added).
    explicit Ds18b20Model(OneWireBus& bus, uint64_t serial = 0x00000B5A2C71ULL);

    // Temperature in degrees Celsius, constant or over time; a conversion latches it at its end,
    // rounded to the resolution and clamped to the part's -55..+125 C.
    void set_temperature(double celsius);
    void set_profile(std::function<double(Picos)> profile) { profile_ = std::move(profile); }
    void set_fault(Fault fault);
    // Bits of the nine scratchpad bytes (bit 8 * byte + n) that Fault::Corrupt inverts; by default bit 3
    // of the temperature's low byte (0.5 C), which only the CRC can reveal.
    void set_corrupt_bits(std::vector<int> bits) { corrupt_bits_ = std::move(bits); }

    const std::array<uint8_t, 8>& rom() const { return rom_; }
    // The scratchpad as the device holds it now (before any corruption on the wire).
    const Scratchpad& scratchpad() const { return scratchpad_; }
    bool converting(Picos now) const { return converting_ && now < conversion_end_; }

    static Picos conversion_time(uint8_t config);

private:
    // Where the device is in a transaction while the link receives bytes.
    enum class Expecting : uint8_t {
        RomCommand,       // the first byte after a reset
        MatchedRom,       // the 8 bytes of a ROM code after Match ROM
        FunctionCommand,  // the byte after a ROM command has addressed this part
        ScratchpadWrite,  // TH, TL and the configuration after Write Scratchpad
    };
    using Handler = void (Ds18b20Model::*)(Picos now);
    struct Command {
        uint8_t code;
        Handler handler;
    };
    static const Command kRomCommands[];
    static const Command kFunctionCommands[];

    // OneWireSlave
    void on_reset_pulse() override;
    void on_byte(uint8_t byte, Picos now) override;
    int status_bit(Picos now) override { return converting(now) ? 0 : 1; }
    void catch_up(Picos now) override { finish_conversion(now); }

    void run_command(std::span<const Command> table, uint8_t byte, Picos now);
    void collect(Expecting what);
    void skip_rom(Picos now);
    void read_rom(Picos now);
    void match_rom(Picos now);
    void convert_temperature(Picos now);
    void read_scratchpad(Picos now);
    void write_scratchpad(Picos now);
    void read_power_supply(Picos now);
    void receive_rom_byte(uint8_t byte);
    void receive_scratchpad_byte(uint8_t byte);
    void finish_conversion(Picos now);

    Fault fault_ = Fault::None;
    std::function<double(Picos)> profile_;
    std::vector<int> corrupt_bits_{3};
    std::array<uint8_t, 8> rom_{};
    Scratchpad scratchpad_;

    Expecting expecting_ = Expecting::RomCommand;
    std::vector<uint8_t> received_;  // the bytes of a ROM code or a scratchpad write so far

    bool converting_ = false;
    Picos conversion_end_ = 0;
};

}  // namespace sim
