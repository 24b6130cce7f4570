#include "listen_address.h"

#include <arpa/inet.h>

#include "host_port.h"

namespace nodesim {

std::variant<ListenAddress, std::string> parse_listen_address(const std::string& text)
{
    auto parsed = common::parse_host_port(text, {.host_may_be_empty = true});
    if (auto* error = std::get_if<std::string>(&parsed)) return *error;
    auto [host, port] = std::get<common::HostPort>(parsed);
    // Loopback unless told otherwise: a simulated node has no business on the network by default.
    if (host.empty() || host == "localhost") host = "127.0.0.1";
    in_addr address{};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return "the host " + host + " is not an IPv4 address";
    return ListenAddress{host, port};
}

}  // namespace nodesim
