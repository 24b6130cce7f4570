#include "onewire.h"

#include "delays.h"
#include "main.h"
#include "puertos.h"

// The latch is written low before the pin becomes an output, so the first level the pin drives is low.
static void linea_baja(void)
{
    HAL_GPIO_WritePin(onewire_GPIO_Port, onewire_Pin, GPIO_PIN_RESET);
    Output_Pin(onewire_GPIO_Port, onewire_Pin);
}

static void linea_libre(void)
{
    Input_Pin(onewire_GPIO_Port, onewire_Pin);
}

static uint8_t linea_alta(void)
{
    return HAL_GPIO_ReadPin(onewire_GPIO_Port, onewire_Pin) == GPIO_PIN_SET;
}

uint8_t onewire_reset(void)
{
    linea_baja();
    delay_us_dwt(480);  // reset pulse: at least 480 us
    linea_libre();
    // The device answers 15-60 us after it sees the release and holds the line low for 60-240 us, so
    // every part is low from 60 to 75 us. It sees the release late by the line's rise through the 4.7 kOhm
    // pull-up (1.1 RC to its 2.2 V threshold: 0.5 us at 100 pF, 5 us at 1 nF of cable), so a sample at 60 us
    // (60.3 with the call's overhead) could come before a late part has begun. At 70 us both edges are
    // 5 us away or more.
    delay_us_dwt(70);
    uint8_t presente = linea_alta() ? 0U : 1U;
    delay_us_dwt(480);  // rest of the presence window: the bus is idle before the first slot
    // A presence pulse lasts 60-240 us, so the line is high again 550 us after the release. Still low,
    // it is held low (a short, a stuck part): no device heard the reset, and a measurement that went on
    // would read whatever an earlier conversion left in the scratchpad once the line came free.
    if (!linea_alta()) presente = 0U;
    return presente;
}

void onewire_Write(uint8_t dato)
{
    for (uint32_t i = 0; i < 8U; ++i) {
        if ((dato >> i) & 1U) {
            // A 1: release well before the device samples (15 us at the earliest).
            linea_baja();
            delay_us_dwt(8);
            linea_libre();
            delay_us_dwt(60);
        } else {
            // A 0: hold low through the device's whole sampling window (up to 60 us).
            linea_baja();
            delay_us_dwt(60);
            linea_libre();
            delay_us_dwt(8);
        }
    }
}

uint8_t onewire_Read(void)
{
    uint8_t dato = 0;
    for (uint32_t i = 0; i < 8U; ++i) {
        linea_baja();
        delay_us_dwt(1);
        linea_libre();
        // The device's 0 is only guaranteed for 15 us from the falling edge: sample early.
        delay_us_dwt(3);
        if (linea_alta()) {
            dato = static_cast<uint8_t>(dato | (1U << i));
        }
        delay_us_dwt(60);
    }
    return dato;
}
