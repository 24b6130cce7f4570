// A register value or offset as the reference manual writes it, for log lines: 0x0440180C.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

inline std::string hex_text(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

}  // namespace sim
