// Bytes as text for a scenario line or a report: the bytes `kept` accepts as they are, every other one
// as \xNN, so line endings, zero bytes and line noise stay visible and survive a round trip.
#pragma once

#include <cstdio>
#include <string>

namespace soak {

template <typename Keep>
std::string hex_escape(const std::string& bytes, Keep kept)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (kept(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace soak
