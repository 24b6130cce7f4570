#include "gdb_packet.h"

#include <cstdio>

#include "hex_digits.h"

namespace sim::cpu::gdb {

std::string frame(const std::string& data)
{
    unsigned sum = 0;
    for (unsigned char c : data) sum += c;
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum & 0xFFU);
    return "$" + data + tail;
}

std::optional<std::string> take_packet(std::string& buffer, bool& checksum_ok)
{
    size_t start = buffer.find('$');
    if (start == std::string::npos) {
        buffer.clear();
        return std::nullopt;
    }
    size_t hash = buffer.find('#', start);
    if (hash == std::string::npos || buffer.size() < hash + 3) {
        buffer.erase(0, start);
        return std::nullopt;
    }
    std::string data = buffer.substr(start + 1, hash - start - 1);
    auto sent = parse_number(buffer.substr(hash + 1, 2));
    buffer.erase(0, hash + 3);
    unsigned sum = 0;
    for (unsigned char c : data) sum += c;
    checksum_ok = sent && *sent == (sum & 0xFFU);
    // Binary data (the X packet) escapes with '}'.
    std::string unescaped;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '}' && i + 1 < data.size())
            unescaped += static_cast<char>(data[++i] ^ 0x20);
        else
            unescaped += data[i];
    }
    return unescaped;
}

std::string to_hex(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

std::string to_hex(const std::string& text)
{
    return to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string word_hex(uint64_t value, unsigned bytes)
{
    uint8_t raw[8];
    for (unsigned i = 0; i < bytes; ++i) raw[i] = static_cast<uint8_t>(value >> (8 * i));
    return to_hex(raw, bytes);
}

std::optional<std::string> from_hex(const std::string& hex)
{
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int byte = common::hex_byte_at(hex, i);
        if (byte < 0) return std::nullopt;
        out += static_cast<char>(byte);
    }
    return out;
}

std::optional<uint64_t> parse_number(const std::string& hex)
{
    if (hex.empty() || hex.size() > 16) return std::nullopt;
    uint64_t value = 0;
    for (char c : hex) {
        const int d = common::hex_digit_value(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<uint64_t>(d);
    }
    return value;
}

uint64_t little_endian_value(const std::string& bytes)
{
    uint64_t value = 0;
    for (size_t i = bytes.size(); i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

}  // namespace sim::cpu::gdb
