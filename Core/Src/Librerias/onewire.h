// A bit-banged 1-Wire master on the board's 1-Wire pin (B13), for one device on the bus. The line has
// an external 4.7 kOhm pull-up; the master only pulls it low or lets it float. Slot timings (requested
// microseconds; call overheads add a little):
//   reset     low 480, release, sample at 70, then 480 more (about 1.03 ms)
//   write 1   low 8, high 60          write 0   low 60, high 8        (about 68 us a slot)
//   read      low 1, release, sample at 3 after release, then 60      (about 64 us a slot)
// A DS18B20 samples a written bit 15-60 us after the falling edge and holds a read 0 for at least
// 15 us from it, so the 8 us write-1 low, the 60 us write-0 low and the sample at about 4 us all sit
// inside its windows. Main loop only: interrupts stay enabled and can stretch a slot by their length.
#pragma once

#include <stdint.h>

// Reset pulse and presence detection: 1 when a device pulled the line low 70 us after the release and
// let it go again by the end of the presence window (a line held low throughout is no presence).
uint8_t onewire_reset(void);
// Sends one byte, least significant bit first.
void onewire_Write(uint8_t dato);
// Receives one byte, least significant bit first. A silent, pulled-up line gives 0xFF.
uint8_t onewire_Read(void);
