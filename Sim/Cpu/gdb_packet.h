// The GDB remote protocol's framing: `$data#cs`, cs the modulo-256 sum of data in two hex digits, with
// `}` escaping `#`, `$`, `}` and `*` (the byte XOR 0x20) in binary data; and the hex text it carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim::cpu::gdb {

std::string frame(const std::string& data);

// Takes one packet off the front of `buffer` if a whole one is there: its data, or nullopt (still
// incomplete). Bytes before the `$` (acknowledgements) are dropped; `checksum_ok` tells whether the
// packet arrived intact.
std::optional<std::string> take_packet(std::string& buffer, bool& checksum_ok);

std::string to_hex(const uint8_t* bytes, size_t size);
std::string to_hex(const std::string& text);
// Little-endian, as registers go in `g` and `p` replies.
std::string word_hex(uint64_t value, unsigned bytes);
// Hex digits to bytes; nullopt on an odd length or a non-hex character.
std::optional<std::string> from_hex(const std::string& hex);
std::optional<uint64_t> parse_number(const std::string& hex);
uint64_t little_endian_value(const std::string& bytes);

}  // namespace sim::cpu::gdb
