// "HOST:PORT" as a command line gives it (nodesim's --tcp, the dashboard's --tcp and --listen) and as
// nodesim announces its endpoint: the one reading of it for every tool.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace common {

struct HostPort {
    std::string host;  // without the brackets of an IPv6 address
    uint16_t port = 0;
};

struct HostPortRules {
    bool host_may_be_empty = false;  // ":7000": the caller's default host
    bool port_may_be_zero = true;    // ":0": a listener's "any free port"; no port to connect to
};

// `text` split at its last colon, an IPv6 host in brackets ("[::1]:8080"); or what is wrong with it, as
// a message to show after the text ("the port 70000 is above 65535").
std::variant<HostPort, std::string> parse_host_port(std::string_view text, HostPortRules rules = {});

}  // namespace common
