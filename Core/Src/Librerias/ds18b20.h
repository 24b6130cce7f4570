// Temperature measurement on the single DS18B20 on the 1-Wire bus (addressed with Skip ROM).
#pragma once

#include <stddef.h>
#include <stdint.h>

// One complete measurement: Convert T, an 800 ms wait on the tick, then Read Scratchpad. Returns
// degrees Celsius, or NaN when the reading cannot be trusted: no presence pulse on either reset, a
// scratchpad whose CRC does not match, or a configuration byte that is not of the form 0RR11111 (the
// checks that catch an absent sensor, a line held low and a corrupted transfer). Blocks for a little
// over 800 ms; main loop only.
float DS18b20_temp(void);

// Dallas/Maxim CRC-8 (x^8 + x^5 + x^4 + 1, reflected 0x8C, seed 0, least significant bit first) of
// `n` bytes. A scratchpad followed by its own CRC gives 0.
uint8_t ds18b20_crc8(const uint8_t* datos, size_t n);
// The two temperature bytes of the scratchpad (signed, 1/16 C) in degrees Celsius: 0x91 0x01 is
// 25.0625, 0x5E 0xFF is -10.125.
float ds18b20_celsius(uint8_t lsb, uint8_t msb);
// Whether a configuration byte has the form 0 R1 R0 1 1 1 1 1 (0x1F, 0x3F, 0x5F or 0x7F).
uint8_t ds18b20_config_valida(uint8_t config);
