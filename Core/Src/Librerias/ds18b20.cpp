#include "ds18b20.h"

#include <math.h>

#include "onewire.h"
#include "stm32f4xx_hal.h"

#define DS18B20_SKIP_ROM 0xCCU
#define DS18B20_CONVERT_T 0x44U
#define DS18B20_READ_SCRATCHPAD 0xBEU
#define DS18B20_SCRATCHPAD_SIZE 9U

uint8_t ds18b20_crc8(const uint8_t* datos, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint8_t>(crc ^ datos[i]);
        for (uint32_t b = 0; b < 8U; ++b) {
            crc = (crc & 1U) ? static_cast<uint8_t>((crc >> 1) ^ 0x8CU) : static_cast<uint8_t>(crc >> 1);
        }
    }
    return crc;
}

float ds18b20_celsius(uint8_t lsb, uint8_t msb)
{
    int16_t raw = static_cast<int16_t>(static_cast<uint16_t>((static_cast<uint16_t>(msb) << 8) | lsb));
    return static_cast<float>(raw) / 16.0f;
}

uint8_t ds18b20_config_valida(uint8_t config)
{
    return (config & 0x9FU) == 0x1FU ? 1U : 0U;
}

float DS18b20_temp(void)
{
    uint8_t presente = onewire_reset();
    onewire_Write(DS18B20_SKIP_ROM);
    onewire_Write(DS18B20_CONVERT_T);
    // 750 ms is the 12-bit conversion time (the power-on resolution); the line floats high meanwhile,
    // which an externally powered sensor needs no strong pull-up for.
    HAL_Delay(800);
    presente = static_cast<uint8_t>(presente & onewire_reset());
    onewire_Write(DS18B20_SKIP_ROM);
    onewire_Write(DS18B20_READ_SCRATCHPAD);

    // All nine bytes: the ninth is the CRC of the first eight, the only way to tell a good transfer from
    // a silent line (all 0xFF), a line held low (all zero, whose CRC is also zero) or flipped bits.
    uint8_t scratchpad[DS18B20_SCRATCHPAD_SIZE];
    for (uint32_t i = 0; i < DS18B20_SCRATCHPAD_SIZE; ++i) {
        scratchpad[i] = onewire_Read();
    }
    if (presente == 0U || ds18b20_crc8(scratchpad, 8U) != scratchpad[8] || ds18b20_config_valida(scratchpad[4]) == 0U) {
        return NAN;
    }
    return ds18b20_celsius(scratchpad[0], scratchpad[1]);
}
