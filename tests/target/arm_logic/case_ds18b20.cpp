// The DS18B20's pure pieces on the target's integer unit and FPU: the CRC-8 that guards a scratchpad,
// the configuration byte check, and the conversion of the two temperature bytes.
#include <stdint.h>
#include <string.h>

#include "ds18b20.h"
#include "logic_case.h"

namespace {

// Power-on scratchpad: +85 C, TH 0x4B, TL 0x46, 12 bits, reserved bytes, then its CRC.
const uint8_t kPowerOnScratchpad[9] = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C};

}  // namespace

LOGIC_CASE(ds18b20_crc8_check_values)
{
    const char* digits = "123456789";
    uint8_t crc = ds18b20_crc8(reinterpret_cast<const uint8_t*>(digits), 9);
    expect(crc == 0xA1, "CRC of \"123456789\" is 0x%02x, expected 0xA1", crc);
    const uint8_t rom[7] = {0x48, 0xA8, 0xDC, 0xF2, 0xB7, 0x01, 0x30};
    crc = ds18b20_crc8(rom, sizeof rom);
    expect(crc == 0x7E, "CRC of 48 A8 DC F2 B7 01 30 is 0x%02x, expected 0x7E", crc);
    const uint8_t zeros[8] = {};
    crc = ds18b20_crc8(zeros, sizeof zeros);
    expect(crc == 0, "CRC of eight zero bytes is 0x%02x", crc);
    crc = ds18b20_crc8(kPowerOnScratchpad, 8);
    expect(crc == 0x1C, "CRC of the power-on scratchpad is 0x%02x, expected 0x1C", crc);
    crc = ds18b20_crc8(kPowerOnScratchpad, 9);
    expect(crc == 0, "a scratchpad followed by its CRC gives 0x%02x, expected 0", crc);
    crc = ds18b20_crc8(kPowerOnScratchpad, 0);
    expect(crc == 0, "CRC of nothing is 0x%02x", crc);
}

// A transfer with any one bit flipped (in the data or in the CRC byte) no longer checks.
LOGIC_CASE(ds18b20_crc8_catches_every_single_bit_error)
{
    for (unsigned bit = 0; bit < 9 * 8; ++bit) {
        uint8_t bytes[9];
        memcpy(bytes, kPowerOnScratchpad, sizeof bytes);
        bytes[bit / 8] ^= static_cast<uint8_t>(1U << (bit % 8));
        expect(ds18b20_crc8(bytes, 9) != 0, "bit %u flipped goes unnoticed", bit);
    }
}

LOGIC_CASE(ds18b20_config_byte_form)
{
    for (unsigned value = 0; value < 256; ++value) {
        bool valid = value == 0x1F || value == 0x3F || value == 0x5F || value == 0x7F;
        bool said = ds18b20_config_valida(static_cast<uint8_t>(value)) != 0;
        expect(said == valid, "configuration byte 0x%02x judged %s", value, said ? "valid" : "invalid");
    }
}

LOGIC_CASE(ds18b20_celsius_of_the_datasheet_bytes)
{
    struct Point {
        uint8_t lsb, msb;
        float celsius;
    };
    const Point points[] = {{0x91, 0x01, 25.0625f}, {0x5E, 0xFF, -10.125f}, {0x50, 0x05, 85.0f},
                            {0xD0, 0x07, 125.0f},   {0xFF, 0xFF, -0.0625f}, {0x00, 0x00, 0.0f},
                            {0x90, 0xFC, -55.0f},   {0x08, 0x00, 0.5f},     {0xA2, 0x00, 10.125f}};
    for (const Point& p : points) {
        float got = ds18b20_celsius(p.lsb, p.msb);
        expect(got == p.celsius, "bytes %02x %02x gave %.4f, expected %.4f", p.lsb, p.msb, static_cast<double>(got),
               static_cast<double>(p.celsius));
    }
}

// Every 16-bit code is a signed count of 1/16 C, exactly representable in a float: sixteen times the
// result must give the code back, sign included.
LOGIC_CASE(ds18b20_celsius_of_every_code)
{
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
        const int16_t raw = static_cast<int16_t>(code);
        float got = ds18b20_celsius(static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(code >> 8));
        expect(got * 16.0f == static_cast<float>(raw), "code 0x%04lx gave %.4f, expected %d/16",
               static_cast<unsigned long>(code), static_cast<double>(got), raw);
    }
}
