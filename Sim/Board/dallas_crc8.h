// The CRC-8 of 1-Wire devices (Dallas/Maxim): polynomial x^8 + x^5 + x^4 + 1, processed least
// significant bit first (reflected 0x8C), seed 0. It protects a DS18B20's ROM code (byte 7 over 0-6)
// and its scratchpad (byte 8 over 0-7); data followed by its own CRC gives 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sim {

constexpr uint8_t dallas_crc8(std::span<const uint8_t> bytes)
{
    uint8_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint8_t>((crc & 1U) ? (crc >> 1) ^ 0x8CU : crc >> 1);
    }
    return crc;
}

}  // namespace sim
