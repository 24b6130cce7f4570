// A register value or offset as the reference manual writes it, for log lines: 0x0440180C. Fewer
// digits for an offset within a block (0x0C) or a value written as it is (0x3).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

inline std::string hex_text(uint32_t value, int min_digits = 8)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", min_digits, static_cast<unsigned>(value));
    return text;
}

}  // namespace sim
