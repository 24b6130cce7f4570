// A chip at the board's clocks (HCLK and PCLK2 100 MHz, PCLK1 50 MHz) with the dashboard peer on
// USART1, for tests of the serial models and of the serial link.
#pragma once

#include "board_clocks.h"
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "chip.h"
#include "serial_peer.h"
#include "stm32f4xx.h"

namespace test {

// One bit at 9600 baud as USART1 makes it: BRR 0x28B1 = 10417 clocks of PCLK2 (100 MHz), 104.17 us.
constexpr sim::Picos kUsart1Bit = 10417ULL * 10'000ULL;

// A9 (TX) and A10 (RX) switched to USART1, alternate function 7, as the board's set-up switches them:
// the receiver reads its line only through its pin, and only so switched.
inline void usart1_pins()
{
    GPIOA->AFR[1] = (GPIOA->AFR[1] & ~0xFF0U) | 0x770U;
    GPIOA->MODER = (GPIOA->MODER & ~(0xFU << 18)) | (0xAU << 18);
}

// Every change of a port's TX line, with its time.
struct LineRecord {
    struct Edge {
        sim::Picos at;
        int level;
    };
    std::vector<Edge> edges;
    void attach(sim::Usart& port)
    {
        port.on_tx_level([this](int level, sim::Picos at) { edges.push_back({at, level}); });
    }
    // Decodes 8N1 characters from the recorded edges with bit time `bit`, sampling each bit mid-way.
    std::vector<uint8_t> decode(sim::Picos bit) const
    {
        std::vector<uint8_t> bytes;
        sim::Picos busy_until = 0;
        for (const Edge& e : edges) {
            if (e.level != 0 || e.at < busy_until) continue;  // a falling edge between characters: start bit
            uint8_t byte = 0;
            for (int b = 0; b < 8; ++b) byte |= static_cast<uint8_t>(level_at(e.at + bit * (1 + b) + bit / 2) << b);
            bytes.push_back(byte);
            busy_until = e.at + 10 * bit - bit / 2;
        }
        return bytes;
    }
    int level_at(sim::Picos t) const
    {
        int level = 1;
        for (const Edge& e : edges) {
            if (e.at > t) break;
            level = e.level;
        }
        return level;
    }
};

}  // namespace test
