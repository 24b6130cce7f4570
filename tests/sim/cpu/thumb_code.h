// Thumb code for the decoder's tests, written as the halfwords the manual's encodings give, laid out in
// memory little-endian as the core fetches them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

inline std::vector<uint8_t> thumb_code(std::initializer_list<uint16_t> halfwords)
{
    std::vector<uint8_t> out;
    for (uint16_t h : halfwords) {
        out.push_back(static_cast<uint8_t>(h));
        out.push_back(static_cast<uint8_t>(h >> 8));
    }
    return out;
}
