// Hexadecimal digits read back: the one parser for every text that carries bytes as hex (the
// scenario's and the trace's \xNN escapes, the GDB remote protocol's packets).
#pragma once

#include <cstddef>
#include <string_view>

namespace common {

// The value of a hexadecimal digit of either case, or -1 for any other character.
constexpr int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte written as the two hex digits at `text[at]` and `text[at + 1]`, or -1 when they are not two
// digits (or run past the end).
constexpr int hex_byte_at(std::string_view text, size_t at)
{
    if (at >= text.size() || text.size() - at < 2) return -1;
    const int high = hex_digit_value(text[at]), low = hex_digit_value(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace common
