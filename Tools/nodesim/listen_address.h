// Where --tcp listens: HOST:PORT, HOST an IPv4 address or "localhost", empty for loopback; PORT 0 lets
// the system pick a free one.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace nodesim {

struct ListenAddress {
    std::string host;  // dotted IPv4, "127.0.0.1" for loopback
    uint16_t port = 0;
};

// The address ("127.0.0.1:7000", "localhost:7000", ":7000"), or what is wrong with `text`.
std::variant<ListenAddress, std::string> parse_listen_address(const std::string& text);

}  // namespace nodesim
