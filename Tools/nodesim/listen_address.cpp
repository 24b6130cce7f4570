#include "listen_address.h"

#include <arpa/inet.h>

#include <cctype>

namespace nodesim {

std::optional<ListenAddress> parse_listen_address(const std::string& text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    unsigned long number = 0;
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number > 65535) return std::nullopt;
    // Loopback unless told otherwise: a simulated node has no business on the network by default.
    if (host.empty() || host == "localhost") host = "127.0.0.1";
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) return std::nullopt;
    return ListenAddress{host, static_cast<uint16_t>(number)};
}

}  // namespace nodesim
