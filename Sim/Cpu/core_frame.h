// The Cortex-M's exception frame and xPSR as the runner's parts need them.
#pragma once

#include <cstdint>
#include <cstring>

namespace sim::cpu {

constexpr uint32_t kThumbBit = 1U << 24;       // xPSR.T
constexpr uint32_t kFrameRealigned = 1U << 9;  // stacked xPSR: the frame was moved down 4 bytes to align it
constexpr uint32_t kItBits = 0x0600FC00U;      // xPSR.IT/ICI: the interrupted IT block's state
constexpr uint32_t kExceptionNumber = 0x1FFU;  // xPSR.IPSR

inline uint32_t word_at(const uint8_t* p)
{
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

}  // namespace sim::cpu
