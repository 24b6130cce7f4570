// USART1 with DMA2 Stream 2 set up as the board does it (9600 baud 8N1, channel 4, byte to byte, normal
// mode), on handles of the test's own, with the 1 ms tick running and the two interrupts routed to the
// platform's handlers. The platform's callbacks are replaced here by recorders.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "serial_bench.h"
#include "stm32f4xx_hal.h"

namespace ptest {

struct RxEvent {
    uint16_t size;
    uint32_t type;     // RxEventType at the call
    uint8_t rx_state;  // RxState at the call
};

struct Calls {
    std::vector<RxEvent> events;
    int errors = 0;
    int rx_complete = 0;
    int rx_half = 0;
    // Run inside the receive-event callback, after recording (for example a stop).
    std::function<void(UART_HandleTypeDef*, uint16_t)> on_event;
};

extern Calls g_calls;
extern UART_HandleTypeDef g_uart;
extern DMA_HandleTypeDef g_dma;

class SerialPlatformTest : public ::testing::Test {
protected:
    SerialPlatformTest();
    // Arms reception into `buffer`, `size` bytes.
    HAL_StatusTypeDef arm(uint16_t size = 100) { return HAL_UARTEx_ReceiveToIdle_DMA(&g_uart, buffer.data(), size); }
    void wait(sim::Picos t) { chip.run_until(chip.now() + t); }
    // Lets the peer's bytes arrive and the line go idle afterwards.
    void send_and_settle(const std::string& text) { chip.run_until(peer.send(text) + sim::milliseconds(3)); }
    static std::string text_of(size_t count, char first = 'a')
    {
        std::string s;
        for (size_t i = 0; i < count; ++i) s.push_back(static_cast<char>(first + i % 26));
        return s;
    }

    std::array<sim::Chip::Handler, 102> table{};
    sim::Chip chip;
    sim::SerialPeer peer{chip, chip.usart1};
    std::array<uint8_t, 128> buffer{};
};

}  // namespace ptest
